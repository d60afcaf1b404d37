#!/usr/bin/env bash
# Makes the unprivileged accounts that tests running as root act as, once, before those tests
# start (the ctest fixture "test_accounts"). No test makes an account itself: two tests
# running useradd at once under ctest -j raced, and one of them ran with a half-made account.
#
#   pelloran-inst   installations: file rights, discovery of running servers
#   pelloran-conf   configuration files: saving as another account
#   pelloran-check  PostgreSQL 15 clusters of the value checks
#   pelloran-e2e    PostgreSQL 15 clusters of the whole runs (Linux and wine)
set -euo pipefail
if [[ $(id -u) -ne 0 ]]; then
  echo "not root: the tests act as this user and need no account of their own"
  exit 0
fi
# One run at a time, should two test trees start at once.
exec 9>/run/pelloran-test-accounts.lock
flock 9
for account in pelloran-inst pelloran-conf pelloran-check pelloran-e2e; do
  if ! getent passwd "$account" >/dev/null; then
    useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$account"
  fi
  getent passwd "$account" >/dev/null
done
