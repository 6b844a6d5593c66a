# The fresh Wine prefix the Wine run and its benchmarks start from (sourced,
# not run).  Making a prefix takes Wine most of ten seconds; one is made
# once for this Wine and this recipe, kept in the Windows build folder, and
# copied for each run, so every run still starts from a fresh prefix.
#
# fresh_prefix BUILD_WIN LOG: makes WINEPREFIX (which must not exist yet) a
# copy of BUILD_WIN/wine-prefix, made first when missing or made otherwise;
# wineboot's output goes to LOG.  Needs WINE, WINESERVER, WINEARCH,
# WINEDLLOVERRIDES and DISPLAY set.  False when the prefix could not be made.
fresh_prefix() {
    local template=$1/wine-prefix log=$2 recipe
    recipe="$("$WINE" --version 2>&1) $WINEARCH $WINEDLLOVERRIDES desktop 1024x768"
    if [ -L "$template" ] || [ ! -f "$template/made-for" ] || [ -L "$template/made-for" ] ||
        [ "$(head -c 300 "$template/made-for")" != "$recipe" ]; then
        rm -rf "$template" "$template.new"
        (
            export WINEPREFIX=$template.new
            timeout -k 5 180 "$WINE" wineboot -i >"$log" 2>&1
            # A virtual desktop the size of the screen: Wine draws the
            # captions itself, so the screenshots show them, screen
            # coordinates match the X root, and with no window manager Wine
            # does not wait about 2 s for each window it takes down.
            "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
            "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
            "$WINESERVER" -k
            "$WINESERVER" -w
        )
        echo "$recipe" >"$template.new/made-for" && mv "$template.new" "$template" || return 1
    fi
    cp -a "$template" "$WINEPREFIX" && rm -f "$WINEPREFIX/made-for"
}
