# Helpers shared by the check scripts (sourced, not run).

passed=0
failed=0

# expect NAME COMMAND...: one check, counted; "ok" or "FAIL" and its name.
expect() {
    local name=$1
    shift
    if "$@"; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
    fi
}

# macro FILE NAME: the value of a make macro of a build folder's sources
# file, continuation lines joined, backslashes turned into slashes, one
# word per line.
macro() {
    tr -d '\r' <"$1" | awk -v name="$2" '
        !cont && $0 ~ "^" name "=" { sub("^" name "=", ""); cont = 1 }
        cont { line = $0; more = sub(/\\[ \t]*$/, "", line); print line; if (!more) exit }' |
        tr '\\' '/' | tr -s ' \t' '\n' | sed '/^$/d'
}
