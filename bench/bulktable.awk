# A pass_persist handler for snmpd serving one table column of ROWS rows, for the bulk-walk
# benchmark: column .1.3.6.1.4.1.99998.1.1.2, row i (1..ROWS) holds the string "row-<i>".
#
#   awk -v rows=2000 -f bench/bulktable.awk
#
# Speaks the pass_persist protocol on standard input and output: PING is answered PONG,
# "get" and "getnext" followed by an OID line with OID, type and value lines, or NONE.
function cmp(a, b,    na, nb, x, y, i) {
  na = split(substr(a, 2), x, ".")
  nb = split(substr(b, 2), y, ".")
  for (i = 1; i <= na && i <= nb; i++)
    if (x[i] + 0 != y[i] + 0) return x[i] + 0 < y[i] + 0 ? -1 : 1
  return na < nb ? -1 : (na > nb ? 1 : 0)
}
function answer(row) {
  if (row < 1 || row > rows) print "NONE"
  else printf "%s.%d\nstring\nrow-%d\n", column, row, row
  fflush()
}
BEGIN { column = ".1.3.6.1.4.1.99998.1.1.2"; prefix = column "." }
$0 == "PING" { print "PONG"; fflush(); next }
$0 == "get" || $0 == "getnext" {
  op = $0
  if ((getline oid) <= 0) exit
  if (index(oid, prefix) == 1) {
    rest = substr(oid, length(prefix) + 1)
    row = rest + 0
    exact = (rest ~ /^[0-9]+$/)
    if (op == "get") answer(exact ? row : 0)
    else answer(row + 1)
  } else if (op == "getnext" && cmp(oid, column) <= 0) {
    answer(1)
  } else {
    print "NONE"; fflush()
  }
  next
}
# "set" requests and anything else: not writable.
{ print "not-writable"; fflush() }
