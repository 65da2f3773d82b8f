#!/bin/sh
# Makes sure the locale LANGUAGE.CHARSET (e.g. ja_JP UTF-8) exists for the tests that run Wine
# under it, generating it with localedef when it is missing. That needs root and the locales
# package; without them it says so and succeeds, and the tests that need the locale skip.
set -u
language=$1 charset=$2
wanted=$(printf '%s.%s' "$language" "$charset" | tr 'A-Z' 'a-z' | tr -d -- '-')
if locale -a 2>/dev/null | tr 'A-Z' 'a-z' | tr -d -- '-' | grep -qx "$wanted"; then
  exit 0
fi
if [ "$(id -u)" -eq 0 ] && command -v localedef >/dev/null 2>&1; then
  if localedef -i "$language" -f "$charset" "$language.$charset" 2>&1; then
    echo "generated the locale $language.$charset"
    exit 0
  fi
fi
echo "cannot generate the locale $language.$charset (needs root and the locales package);" \
     "the tests that need it will skip"
exit 0
