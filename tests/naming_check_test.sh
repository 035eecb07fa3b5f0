#!/usr/bin/env bash
# The naming check refuses a new file that breaks the naming rule (naming
# each name), takes one that keeps it, and leaves a file of the baseline
# alone. The test command runs the check on the whole tree itself, once.
set -euo pipefail
repo=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/scripts" "$tmp/server/engine"
cp "$repo/.clang-tidy" "$tmp/"
: >"$tmp/scripts/naming-baseline.txt"

cat >"$tmp/server/engine/well_named.cc" <<'CC'
#include <string>
namespace {
constexpr int kLimit = 3;
struct Record {
  int jobId = 0;
  std::string sPhoneNumber;
};
class CCounter {
 public:
  int Add(const std::string& sName, int nCount, const Record& record) {
    const int total = nCount + static_cast<int>(sName.size()) + record.jobId;
    m_nTotal += total < kLimit ? total : kLimit;
    return m_nTotal;
  }
 private:
  int m_nTotal = 0;
};
}  // namespace
int Count() { return CCounter().Add("x", 1, Record{}); }
CC
# A test fixture's protected members are named like locals.
cat >"$tmp/server/engine/well_named_test.cc" <<'CC'
class Fixture {
 protected:
  int engineCount = 0;
};
class Case : public Fixture {
 public:
  int Run() { return engineCount; }
};
CC
bash "$repo/scripts/check-naming.sh" "$tmp" >/dev/null || { echo "a well-named new file was refused"; exit 1; }

cat >"$tmp/server/engine/misnamed.cc" <<'CC'
namespace {
constexpr int limit = 3;
struct Record {
  int JobId = 0;
};
class CCounter {
 public:
  int Add(int Count) {
    const int Total_count = Count + limit;
    count_ += Total_count;
    return count_;
  }
 private:
  int count_ = 0;
};
}  // namespace
int Count() { return CCounter().Add(Record{}.JobId); }
CC
cat >"$tmp/server/engine/misnamed_test.cc" <<'CC'
class Fixture {
 protected:
  int m_Engine = 0;
};
CC
# A header is judged with its own source file (x.cc or x_posix.cc), or on
# its own where it has none.
cat >"$tmp/server/engine/paired.h" <<'CC'
struct Pair {
  int Field_x = 0;
};
int PairedTotal(const Pair& Whole_pair);
CC
cat >"$tmp/server/engine/paired_posix.cc" <<'CC'
#include "paired.h"
int PairedTotal(const Pair& wholePair) { return wholePair.Field_x; }
CC
cat >"$tmp/server/engine/lone.h" <<'CC'
constexpr int lone_value = 1;
CC
if out=$(bash "$repo/scripts/check-naming.sh" "$tmp"); then
  echo "a misnamed new file passed"; exit 1
fi
for name in limit JobId Count Total_count count_ m_Engine; do
  grep -qE "misnamed(_test)?.cc:[0-9]+:[0-9]+: .*'$name'" <<<"$out" || { printf 'not reported: %s\n%s\n' "$name" "$out"; exit 1; }
done
for name in Field_x Whole_pair; do
  grep -qE "paired.h:[0-9]+:[0-9]+: .*'$name'" <<<"$out" || { printf 'not reported in the header: %s\n%s\n' "$name" "$out"; exit 1; }
done
grep -qE "lone.h:[0-9]+:[0-9]+: .*'lone_value'" <<<"$out" || { printf 'a header without a source file was not judged:\n%s\n' "$out"; exit 1; }
[ "$(grep -c "'Field_x'" <<<"$out")" -eq 1 ] || { printf 'a header was judged twice:\n%s\n' "$out"; exit 1; }
grep -q well_named <<<"$out" && { printf 'the well-named file was reported:\n%s\n' "$out"; exit 1; }

# Files written before the rule are listed in the baseline and not judged.
printf 'server/engine/%s\n' misnamed.cc misnamed_test.cc paired.h paired_posix.cc lone.h >"$tmp/scripts/naming-baseline.txt"
bash "$repo/scripts/check-naming.sh" "$tmp" >/dev/null || { echo "a file of the baseline was judged"; exit 1; }
echo "naming check: every case behaves"
