# Shared by the scripts: where the build lives and the quiet Wine environment.
# QV_BUILD_DIR lets a second checkout or a parallel worker use its own build.
QV_ROOT=$(cd "$(dirname "$0")/.." && pwd)
QV_BUILD_DIR=${QV_BUILD_DIR:-$QV_ROOT/build}
case "$QV_BUILD_DIR" in /*) ;; *) QV_BUILD_DIR=$QV_ROOT/$QV_BUILD_DIR ;; esac
export WINEPREFIX="$QV_BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
