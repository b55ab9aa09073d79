#!/usr/bin/env bash
# The corpus file functions switch the process to the locale en_US.UTF-8;
# Debian does not generate it by default.
set -euo pipefail
if locale -a 2>/dev/null | grep -qix 'en_US.utf8'; then exit 0; fi
if [ "$(id -u)" != 0 ]; then
  echo "locale en_US.UTF-8 is missing; run as root: localedef -i en_US -f UTF-8 en_US.UTF-8" >&2
  exit 1
fi
if [ ! -d /usr/share/i18n/locales ] || ! command -v localedef >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq locales
fi
localedef -i en_US -f UTF-8 en_US.UTF-8
