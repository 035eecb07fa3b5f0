#!/usr/bin/env bash
# The shared library's dynamic symbols are the public API and nothing else:
# every defined symbol matches one of the patterns below (demangled names),
# and the API's anchors are there. A class added to the public headers goes
# into the patterns here and into cmake/libvelquor.map.
#   exported_symbols_test.sh LIBRARY
set -euo pipefail
library=$1

public_patterns=(
  '^Norvale::(Velquor|VelquorListener|SMSMessage|SMSNotification|Exception|OS::_com_error)::'
  '^Norvale::EventHandlers<std::shared_ptr<Norvale::(SMSMessage|SMSNotification)> >::'
  '^Norvale::MessageLoop::'
  '^(typeinfo|typeinfo name|vtable) for Norvale::(Exception|OS::_com_error)$'
)
anchors=(
  'Norvale::Velquor::Velquor(Norvale::Velquor&&)'
  'Norvale::VelquorListener::operator=(Norvale::VelquorListener&&)'
  'Norvale::EventHandlers<std::shared_ptr<Norvale::SMSNotification> >::Remove(unsigned long)'
  'Norvale::MessageLoop::Run()'
  'typeinfo for Norvale::OS::_com_error'
  'typeinfo for Norvale::Exception'
)

# Prints the names that match no public pattern.
strays() {
  local name pattern public
  while IFS= read -r name; do
    public=0
    for pattern in "${public_patterns[@]}"; do
      [[ $name =~ $pattern ]] && { public=1; break; }
    done
    [ $public = 1 ] || printf '%s\n' "$name"
  done
}

# The check itself must see a stray: a standard template's typeinfo, as the
# library exported it before its version script.
[ "$(printf '%s\n' 'Norvale::Velquor::~Velquor()' 'typeinfo for std::bad_variant_access' | strays)" = \
  'typeinfo for std::bad_variant_access' ] || { echo "the pattern check lets a stray through"; exit 1; }

# "ADDRESS TYPE NAME", the name demangled and possibly holding spaces.
names=$(nm -D --defined-only "$library" | c++filt | cut -d' ' -f3-)
[ -n "$names" ] || { echo "no dynamic symbols in $library"; exit 1; }
failed=0
found=$(strays <<<"$names")
if [ -n "$found" ]; then
  echo "exported but not public API:"
  sed 's/^/  /' <<<"$found"
  failed=1
fi
for anchor in "${anchors[@]}"; do
  grep -qxF "$anchor" <<<"$names" || { echo "not exported: $anchor"; failed=1; }
done
[ $failed = 0 ] && echo "$(sort -u <<<"$names" | wc -l) exported names, all public API"
exit $failed
