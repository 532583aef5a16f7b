/*
 * Settings: named texts held in the process environment, with a built-in table of defaults.
 *
 * xgetenv() returns a variable's environment value if there is one. Otherwise it takes the
 * default from the table zarvoenv, expands the $NAME and ${NAME} references in it, and
 * stores the result in the environment, so later lookups and child processes see it.
 * Environment files of NAME=value lines are merged into the environment by loadenv().
 *
 * Expansion: "$" followed by "{" names everything up to the next "}" (the rest of the text
 * when there is none); otherwise the name is the longest run of A-Z, 0-9 and "_" after the
 * "$" (possibly empty, so a lower-case letter ends it). A reference without value expands
 * to nothing after xgetenv's error line. There is no escape for a literal "$". Environment
 * values are never expanded; only table defaults and environment-file lines are.
 */
#ifndef ZARVO_ENVIRON_H
#define ZARVO_ENVIRON_H

#ifdef __cplusplus
extern "C" {
#endif

/* One entry of the default table: a setting's name and its unexpanded default. */
typedef struct zarvoenv_t {
    const char *name; /* setting name; null in the entry that ends the table */
    const char *val;  /* default value, may hold $NAME references */
} zarvoenv_t;

/* The built-in defaults, 137 entries in a fixed order, ended by an entry with a null name. */
extern const zarvoenv_t zarvoenv[];

/* The value of a setting: the environment's, else the expanded default, which is then set
 * in the environment. "MACHINE" without a value is made from MACHINEDOTS with every "."
 * replaced by ",". The text belongs to the environment and stays valid until the variable
 * is set again.
 * On error (no value and no default): one error line, returns NULL. */
char *xgetenv(const char *name);

/* s with every $NAME and ${NAME} reference replaced. The result belongs to this module
 * and stays valid until the next outermost expansion begins (which xgetenv also starts
 * when it uses a default); copy it to keep it. Can't fail; unknown names expand to
 * nothing after one error line each. */
char *expand_env(const char *s);

/* Reads the environment file envfile (through the stacked reader, so include and directory
 * directives work) into the process environment. Lines are cleaned of comments, leading
 * blanks and backslashes; "export " in front is dropped; NAME+=value appends; a double
 * quote right after the "=" and one at the end are removed; AREA/NAME=value lines apply
 * only when area matches AREA (any letter case). Blanks around "=" belong to the name and
 * the value. Lines without "=", or without a name, are skipped. area may be null. A reference
 * to an unknown variable in a line is reported by naming the line (file, line number and
 * first word), never by the text after the "$", which may be part of a secret value.
 * On error (file cannot be opened): one error line, nothing is loaded. */
void loadenv(const char *envfile, const char *area);

/* Checks that every name of the null-terminated list has a value (defaults count). When
 * any is missing, writes one line per missing name, then "Aborting" and ends the process
 * with exit status 1. */
void envcheck(char **envvars);

/* The value of envname from the environment, or else envdefault (unexpanded), which is
 * then set in the environment. The result is also stored in *buf when buf is not null. It
 * belongs to the environment and stays valid until the variable is set again.
 * On error (envname null, or a name the environment cannot hold): one error line,
 * returns NULL. */
char *getenv_default(const char *envname, const char *envdefault, char **buf);

#ifdef __cplusplus
}
#endif

#endif
