// zarvo-snmpgather: polls SNMP agents and sends their values to the monitoring server.
#include "snmpgather.h"

int main(int argc, char *argv[])
{
    return snmpgather_main(argc, argv);
}
