# Velmorra.exe under Wine: the start-up shortcut deleted, the phone book's
# entry stored or its refusal told, a second run, and a read-only shortcut
# kept.  Sourced by scripts/test-wine.sh, in its Wine prefix; uses its
# helpers (wine, expect, debug_lines, has_line, reg_value...).

# velmorra_run: one run from C:\board (so "\Windows\..." means C:\windows);
# sets $status, traces into $logs/Velmorra.log.
velmorra_run() {
    (cd "$drive_c/board" && WINEDEBUG=warn+seh exec timeout -k 5 "$LIMIT" "$WINE" 'C:\board\Velmorra.exe') \
        2>"$logs/Velmorra.log"
    status=$?
}

test_velmorra() {
    local log=$logs/Velmorra.log shortcut=$drive_c/windows/Startup/Velmorra.lnk comm='HKCU\ControlPanel\Comm'
    mkdir -p "$(dirname "$shortcut")"
    cp "$root/ce/velmorra/Velmorra.lnk" "$shortcut"
    wine reg add "$comm" /v Cnct /d Other /f >/dev/null 2>&1
    velmorra_run
    expect "Velmorra: exit code 0" [ "$status" = 0 ]
    expect "Velmorra: the start-up shortcut is gone" [ ! -e "$shortcut" ]
    expect "Velmorra: a deleted shortcut is not reported" \
        [ "$(debug_lines "$log" | grep -c 'not deleted')" = 0 ]
    # Whatever the phone book answers, the program tells and acts on it.
    if has_line "$log" "RasEntry '\`USB' Created\\r\\n"; then
        expect "Velmorra: the entry is stored and made the PC connection" \
            [ "$(reg_value "$comm" Cnct)" = 'REG_SZ `USB' ]
    else
        expect "Velmorra: the refused entry is reported" \
            grep -q 'OutputDebugStringA "Error [0-9-]* from RasSetEntryProperties\\r\\n"$' "$log"
        expect "Velmorra: a refused entry leaves the PC connection" [ "$(reg_value "$comm" Cnct)" = "REG_SZ Other" ]
    fi

    velmorra_run
    expect "Velmorra: run again, exit code 0" [ "$status" = 0 ]
    expect "Velmorra: run again, the shortcut is not deleted, error 2" \
        has_line "$log" 'Velmorra.lnk not deleted.  Error 2\r\n'
}

# A read-only start-up shortcut (attrib +r) stays, and the program says so.
test_velmorra_read_only() {
    local shortcut=$drive_c/windows/Startup/Velmorra.lnk
    cp "$root/ce/velmorra/Velmorra.lnk" "$shortcut"
    wine attrib +r 'C:\windows\Startup\Velmorra.lnk' >/dev/null 2>&1
    velmorra_run
    expect "Velmorra: read-only shortcut, exit code 0" [ "$status" = 0 ]
    expect "Velmorra: read-only shortcut, not deleted, error 5" \
        has_line "$logs/Velmorra.log" 'Velmorra.lnk not deleted.  Error 5\r\n'
    expect "Velmorra: read-only shortcut is still there" [ -e "$shortcut" ]
    wine attrib -r 'C:\windows\Startup\Velmorra.lnk' >/dev/null 2>&1
    rm -f "$shortcut"
}
