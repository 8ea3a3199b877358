#!/usr/bin/env bash
# Makes the Octave package, installs it with pkg into a scratch package prefix, loads it and
# uses every module.
set -euo pipefail
octave=$1
here="$(cd "$(dirname "$0")/.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tarball=$("$here/tools/make-package.sh" "$work")
# The package carries the licence.
tar -xOzf "$tarball" --wildcards '*/COPYING' | cmp - "$here/LICENSE"
tar -xOzf "$tarball" --wildcards '*/DESCRIPTION' | grep -qx 'License: BSD-3-Clause'

mkdir -p "$work/packages"
cd "$work"
# What the user's own package lists say before; a test must leave them as they were.
lists() {
    "$octave" --no-gui --no-history -q --eval "
      for list = {pkg('local_list'), pkg('global_list')}
        printf('%s\n', list{1});
        if exist(list{1}, 'file'), type(list{1}); end
      end" 2>&1
}
before=$(lists)
status=0
"$octave" --no-gui --no-history -q --eval "
  pkg prefix '$work/packages' '$work/packages';
  pkg local_list '$work/packages/octave_packages';
  pkg global_list '$work/packages/octave_global_packages';
  pkg install -local '$tarball';
  pkg load spot;
  addpath('$here/tests/octave');
  checkToolbox();
  assert(any(strcmp(cellfun(@(p) p.name, pkg('list'), 'UniformOutput', false), 'spot')));
  disp('package installs and its modules answer');
" > "$work/log" 2>&1 || status=$?
# pkg warns that help-only files hold no function; the rest is worth showing.
grep -v -E "doc_cache_create|^ *(called from|doc_cache|gen_doc|install|pkg at|generate_lookfor)" \
    "$work/log" || true
if [ "$(lists)" != "$before" ]; then
    echo "the user's Octave package lists changed" >&2
    status=1
fi
exit "$status"
