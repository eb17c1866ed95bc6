#!/bin/sh
# Stands in for the user's web browser under Wine (HKCU\Software\Wine\WineBrowser\Browsers):
# appends the address it was asked to open to the file that KORVANE_TEST_BROWSER_RECORD names.
printf '%s\n' "$1" >>"${KORVANE_TEST_BROWSER_RECORD:?}"
