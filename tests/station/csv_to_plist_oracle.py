# Second reader of the station CSV to property-list conversion: builds the record
# expected from the CSV with Python's csv module and compares it with what
# plistlib reads from the converter's output.
# Arguments: csv path, plist path, flags (three 0/1: stop at first fail, without
# fixed attributes, last row only), variant ("velora" or "wend").
import csv
import plistlib
import sys

csv_path, plist_path, flags, variant = sys.argv[1:5]
stop, no_fixed, last_only = (f == '1' for f in flags)

text = open(csv_path, newline='').read()
lines = text.split('\n')


def cells(line):
    return [c.lstrip(' \t') for c in next(csv.reader([line]))] if line else ['']


title = lines[0]
sw_name = title.split(',')[0]
after = title.split(',', 1)[1]
v = after.find('version=')
sw_version = after[v + 8:].split(',')[0] if v >= 0 else ''
names, uppers, lowers, units = (cells(lines[i]) for i in range(1, 5))
rows = [cells(line) for line in lines[5:] if line != '']
if last_only:
    rows = rows[-1:]


def at(cs, i):
    return cs[i] if i < len(cs) else ''


def item(row, name):
    for i, n in enumerate(names):
        if name.lower() in n.lower():
            return row[i] if i < len(row) - 1 else None
    return None


def number(s):
    try:
        float(s)
        return True
    except ValueError:
        return False


def pseudo(name, value, message):
    return {'testname': name, 'upperlimit': 'NA', 'lowerlimit': 'NA', 'units': 'NA', 'value': value,
            'priority': '0', 'result': 'PASS', 'failure_message': message}


expected = {}
for k, row in enumerate(rows):
    entry, attrs = {}, {}
    if not no_fixed:
        attrs['serialnumber'] = item(row, 'Serialnumber')
        attrs['softwarename'] = sw_name
        attrs['softwareversion'] = sw_version
        if variant == 'wend':
            attrs['errCode'] = item(row, 'errCode')
            attrs['errStr'] = item(row, 'errStr') or 'OK'
            attrs['config'] = item(row, 'config')
        attrs['TesterID'] = item(row, 'TesterID')
    for c in range(1, len(uppers)):
        if uppers[c] == 'ATTR':
            key = names[c]
            if variant == 'wend':
                key = {'QMRT::CFSN': 'CFSN', 'QMRT::CHIPID': 'CHIPID'}.get(key, key)
            attrs[key] = row[c] or 'UNKNOWN'
    if attrs:
        entry['Attributes'] = attrs
    entry['OverallResult'] = item(row, 'Test Pass/Fail Status')
    entry['StartTime'] = item(row, 'StartTime')
    entry['StopTime'] = item(row, 'EndTime')
    tests = [pseudo('timeStamp', item(row, 'timeStamp'), 'Failed timeStamp'),
             pseudo('TestTime', item(row, 'TestTime'), 'Failed testTime')]
    c = 0
    while True:
        c += 1
        n, u, lo, un, val = at(names, c), at(uppers, c), at(lowers, c), at(units, c), at(row, c)
        if not (n or u or lo or un or val):
            break
        if n.lower() == 'config':
            continue
        has_u, has_l = u.lower() != 'nan', lo.lower() != 'nan'
        if (has_u and not number(u)) or (has_l and not number(lo)) or val.lower() == 'na' or not number(val):
            continue
        x = float(val)
        if has_u and has_l:
            ok = float(lo) <= x <= float(u)
        elif has_l:
            ok = x >= float(lo)
        elif has_u:
            ok = x <= float(u)
        else:
            ok = True
        t = {'testname': n, 'upperlimit': 'NA' if 'nan' in u else u, 'lowerlimit': 'NA' if 'nan' in lo else lo,
             'units': un, 'value': 'NA' if 'nan' in val else val, 'priority': '0',
             'result': 'PASS' if ok else 'FAIL'}
        if n.lower() == 'errcode':
            es = item(row, 'errString')
            if es:
                t['failure_message'] = 'err[%d]=%s' % (int(float(val)), es)
        else:
            t['failure_message'] = 'Failed ' + n
        tests.append(t)
        if stop and not ok:
            break
    entry['Tests'] = tests
    expected[str(k)] = entry

got = plistlib.load(open(plist_path, 'rb'))
if got != expected:
    print('expected:', expected)
    print('got:     ', got)
    sys.exit(1)
print('ok')
