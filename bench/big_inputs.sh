#!/usr/bin/env bash
# Big and hostile inputs, as users meet them: generates them in a scratch
# folder (never in the tree), runs the real binary on each under
# /usr/bin/time -v and prints, per case, the exit status, the peak resident
# memory, the wall time and the last console line.
#
#   bash bench/big_inputs.sh [KELCMD] [SCRATCH]
#
# KELCMD defaults to build/release/app/kelcmd, SCRATCH to a fresh folder in
# /tmp (removed at the end unless KEEP=1 is set in the environment).
set -uo pipefail
cd "$(dirname "$0")/.."
kelcmd=$(realpath "${1:-build/release/app/kelcmd}")
scratch=${2:-$(mktemp -d /tmp/kel-big-XXXXXX)}
mkdir -p "$scratch"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

python3 - "$scratch" <<'PY'
import gzip, os, random, sys
d = sys.argv[1]
def w(name, text):
    with open(os.path.join(d, name), 'w', newline='\n') as f: f.write(text)

# 1,000,000 rows, eight columns, about 1,000 in the protected group; the
# same rows with a unique text id in front, and few tuples to test, to see
# what a column of distinct texts costs.
rng = random.Random(9)
EDU = ['primary', 'secondary', 'bachelor', 'master', 'doctorate']
JOBS = ['clerk', 'technician', 'engineer', 'sales', 'manager']
CITIES = ['north', 'south', 'east', 'west']
meta = ('age,continuous\nsex,nominal\neducation,ordinal,' + ','.join(EDU) +
        '\nexperience,continuous\njob,nominal\ncity,nominal\nhours,continuous\ndecision,nominal\n')
w('big.meta', meta)
w('big.sel', 'sex=female\ndecision=rejected\nage,education,experience,job,city,hours\nhired\n')
w('ids.meta', 'id,ignore\n' + meta)
w('ids.sel', 'sex=female,age<20\ndecision=rejected\nage,education,experience,job,city,hours\n')
with open(os.path.join(d, 'big.csv'), 'w', newline='\n') as f, open(os.path.join(d, 'ids.csv'), 'w') as ids:
    for i in range(1_000_000):
        sex = 'female' if rng.random() < 0.001 else 'male'
        age = rng.randint(19, 64)
        edu = rng.randrange(5)
        exp = max(0, min(age - 18, int(rng.gauss((age - 18) * 0.6, 4))))
        job = rng.choice(JOBS)
        score = 0.45 * edu + 0.06 * exp + rng.gauss(0, 0.5) - (0.9 if sex == 'female' else 0)
        row = '%d,%s,%s,%d,%s,%s,%g,%s\n' % (age, sex, EDU[edu], exp, job, rng.choice(CITIES),
              round(rng.uniform(20, 45) * 2) / 2, 'hired' if score > 1.6 else 'rejected')
        f.write(row)
        ids.write('ID%07d,' % i + row)
with open(os.path.join(d, 'big.csv'), 'rb') as src, gzip.open(os.path.join(d, 'big.csv.gz'), 'wb', 6) as dst:
    dst.write(src.read())

# A single 50 MB line: no line feed and no separator anywhere.
with open(os.path.join(d, 'line50m.csv'), 'w') as f: f.write('x' * (50 << 20))
# A 1 MB field, once in a nominal column (a valid row) and once in a
# continuous column (digits that overflow a float).
small = '30,female,primary,3,clerk,north,40,rejected\n40,male,master,9,sales,east,38,hired\n'
w('field1m.csv', small + '31,female,primary,3,' + 'j' * (1 << 20) + ',north,40,rejected\n')
w('number1m.csv', small + '9' * (1 << 20) + ',female,primary,3,clerk,north,40,rejected\n')

# 10,000 attributes and 1,000 rows.
n = 10_000
w('wide.meta', 'g,nominal\nclass,nominal\n' + ''.join('a%d,continuous\n' % i for i in range(n - 2)))
w('wide.sel', 'g=p\nclass=yes\n' + ','.join('a%d' % i for i in range(n - 2)) + '\n')
with open(os.path.join(d, 'wide.csv'), 'w') as f:
    for r in range(1000):
        f.write(('p' if r % 10 == 0 else 'u') + ',' + rng.choice(['yes', 'no']) + ',' +
                ','.join(str(rng.randint(0, 99)) for _ in range(n - 2)) + '\n')

# 100,000 values in the metadata: an ordinal scale and a nominal line as -md writes it.
vals = ['v%d' % i for i in range(100_000)]
w('values.meta', 'grade,ordinal,' + ','.join(vals) + '\nname,nominal,' + ','.join(vals) + '\nclass,nominal\n')
w('values.csv', ''.join('%s,%s,%s\n' % (vals[i * 997 % 100_000], 'n%d' % (i % 50), 'yes' if i % 3 else 'no')
                        for i in range(20_000)))
w('values.sel', 'name=n1\nclass=yes\ngrade\n')

# Rows with every field missing.
w('missing.csv', '?,?,?,?,?,?,?,?\n' * 10_000 + small)
PY

# case NAME EXPECTED_STATUS ARGS...: runs kelcmd in the scratch folder.
case_run() {
  local name=$1 expect=$2
  shift 2
  (cd "$scratch" && /usr/bin/time -v "$kelcmd" "$@" >"$name.console" 2>"$name.time")
  local status=$?
  local rss secs last
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$scratch/$name.time")
  secs=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$scratch/$name.time")
  last=$(tr '\r' '\n' <"$scratch/$name.console" | grep -v '^n = ' | grep -v '^$' | tail -1 | cut -c1-100)
  local verdict=ok
  [ "$status" = "$expect" ] || verdict="UNEXPECTED (wanted $expect)"
  printf '%-10s status %s %-8s peak %7s KiB  wall %8s  | %s\n' "$name" "$status" "$verdict" "$rss" "$secs" "$last"
}

case_run plain 0 big.meta big.csv big.sel big.out -j 2
case_run gzip 0 big.meta big.csv.gz big.sel big-gz.out -j 2
cmp -s "$scratch/big.out" "$scratch/big-gz.out" || echo "plain and gzip outputs differ"
case_run ids 0 ids.meta ids.csv ids.sel ids.out -j 2
case_run line50m 1 big.meta line50m.csv big.sel line.out
case_run field1m 0 big.meta field1m.csv big.sel field.out
case_run number1m 1 big.meta number1m.csv big.sel number.out
case_run wide 0 wide.meta wide.csv wide.sel wide.out -j 2
case_run values 0 values.meta values.csv values.sel values.out -md values.md
case_run missing 0 big.meta missing.csv big.sel missing.out
