#!/usr/bin/env bash
# The C++ lines changed since .clang-format was written down must follow it.
# What was there before is left as it was: reformatting the tree would bury
# every line's history under one commit.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "check-format: not a git checkout, nothing to compare with" >&2
    exit 1
fi
base=$(git log --format=%H --diff-filter=A -1 -- .clang-format)
if [ -z "$base" ]; then
    echo "check-format: .clang-format has no commit of its own (a shallow clone?)" >&2
    exit 1
fi
diff=$(git clang-format --style=file --diff "$base" -- ':(glob)**/*.cpp' ':(glob)**/*.h' ':!third_party' || true)
case "$diff" in
"" | "no modified files to format" | "clang-format did not modify any files")
    echo "check-format: every line changed since ${base:0:12} follows .clang-format"
    ;;
*)
    printf '%s\n' "$diff"
    echo "check-format: the lines above do not follow .clang-format (git clang-format $base fixes them)" >&2
    exit 1
    ;;
esac
