#!/bin/sh
# Starts the updater from the installed package. Every word after the
# command is the patch server's host for this run.
exec "@ORVANTA_UPDATER_PATH@" "$@"
