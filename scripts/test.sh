#!/usr/bin/env bash
# make test, with make installed first where missing.
exec "$(dirname "$0")/make_target.sh" test
