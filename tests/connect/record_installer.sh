#!/bin/sh
# Stands in for the platform installer: records its arguments, one call a line, and
# reports a failure for any package whose name contains "fail".
printf '%s\n' "$*" >> "$VADO_INSTALLER_RECORD"
case "$2" in
  *fail*) echo "installer error 1603: could not install $2" ;;
  *) echo "installed $2" ;;
esac
