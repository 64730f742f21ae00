#!/usr/bin/python3
# Second reader of the GR&R tests: writes a seeded station log with a criteria
# file, and computes every GR&R figure from them independently (pandas grouping,
# golden samples merged on the lower-cased serial number).
#   gen SEED DIR [pseudo]   DIR/grr_log.csv and DIR/grr_criteria.csv; with
#                           "pseudo" the golden tester is renamed T0.
#   model LOG [CRITERIA]    the figures of the tool's model, one record a line.
#   library LOG CONFIG      the figures of the library's calculator.
# Numbers are written with repr; "NV" is no value.
import csv
import math
import sys

import numpy as np
import pandas as pd

SHARE = 0.20000000298023224  # single-precision 0.2 widened
TESTERS = ["GOLD_1", "T1", "T2", "HALL-3", "T4", "SOLO"]
ITEMS = ["VOLT", "CURR", "POWER", "TEMP", "FREQ", "NOISE"]
UPPER = ["5.5", "2", "10", "30", "", "1"]
LOWER = ["4.5", "1", "0", "20", "", "0"]
UNITS = ["V", "A", "W", "C", "Hz", "dB"]


def serials_of(tester):
    if tester == "T2":
        return ["sn01", "SN02", "sn03", "SN04", "Sn05"]  # mixed case: golden partners all the same
    if tester == "HALL-3":
        return ["SN01", "SN02", "SN03", "SN99"]  # SN99 has no golden partner
    if tester == "T4":
        return ["XX1", "XX2"]  # no golden partner at all
    if tester == "SOLO":
        return ["SN01"]  # one part tested again and again
    return ["SN01", "SN02", "SN03", "SN04", "SN05"]


def gen(seed, folder, pseudo):
    rng = np.random.default_rng(seed)
    base = {s: rng.normal(0.0, 1.0, len(ITEMS)) for s in ["SN01", "SN02", "SN03", "SN04", "SN05", "SN99", "XX1", "XX2"]}
    offset = {"GOLD_1": 0.0, "T1": 0.002, "T2": 0.03, "HALL-3": -0.01, "T4": 0.0, "SOLO": 0.001}
    centre = [5.0, 1.5, 5.0, 25.0, 1000.0, 0.5]
    spread = [0.01, 0.05, 0.2, 0.3, 5.0, 0.005]
    noise = [0.003, 0.02, 0.1, 0.2, 2.0, 0.002]
    lines = ["SerialNumber,TesterID,timeStamp," + ",".join(ITEMS),
             "Upper Limit----->,,," + ",".join(UPPER),
             "Lower Limit----->,,," + ",".join(LOWER),
             "Unit----->,,," + ",".join(UNITS)]
    stamp = 1700000000
    for tester in TESTERS:
        name = "T0" if pseudo and tester == "GOLD_1" else tester
        for repeat in range(3):
            for serial in serials_of(tester):
                b = base[serial.upper()]
                cells = []
                for i in range(len(ITEMS)):
                    if ITEMS[i] == "NOISE" and tester == "T1" and serial == "SN02":
                        cells.append("NA")  # one sample without any value of the item
                        continue
                    v = centre[i] + b[i] * spread[i] + offset[tester] * (i + 1) * spread[i] * 10
                    v += rng.normal(0.0, noise[i])
                    cells.append("%.6f" % v)
                lines.append("%s,%s,%d,%s" % (serial, name, stamp, ",".join(cells)))
                stamp += 1
    with open(folder + "/grr_log.csv", "w") as f:
        f.write("\n".join(lines) + "\n")
    # Criteria: "curr" in another letter case, POWER without a limit, an empty
    # stdev (the default 3), an item the log does not have.
    with open(folder + "/grr_criteria.csv", "w") as f:
        f.write("GrrConfig,VOLT,curr,POWER,NOISE,UNUSED\n"
                "GRR Stdev----->,3,,2.5,2,3\n"
                "GRR Limit----->,0.05,0.5,,0.01,1\n"
                "Unit----->,mV,mA,mW,dB,x\n")


# ---------------------------------------------------------------- reading

def numeric(text):
    if text is None:
        return False
    if text.upper() == "NA":
        return True
    return text != "" and all(c in "0123456789.-" for c in text) and text.count(".") <= 1 and text.count("-") <= 1


def value(text):
    if not numeric(text) or text.upper() == "NA":
        return None
    try:
        return float(text)
    except ValueError:
        return None


def read_table(path):
    with open(path, newline="") as f:
        rows = [r for r in csv.reader(f) if r]
    head = rows[0]
    markers = {r[0]: r for r in rows[1:] if "-->" in r[0]}
    data = [r for r in rows[1:] if "-->" not in r[0]]
    return head, markers, data


def fmt(v):
    if v is None:
        return "NV"
    return repr(float(v))


def present(v):
    return v is not None


def measured(v):
    return v is not None and not math.isnan(v)


# ---------------------------------------------------------------- the tool's model

def model(log, criteria_path):
    head, markers, data = read_table(log)
    crit = {}
    if criteria_path:
        ch, cm, _ = read_table(criteria_path)
        for c, title in enumerate(ch):
            if title.lower() in crit:
                continue
            cell = lambda m: cm[m][c] if m in cm and c < len(cm[m]) else ""
            crit[title.lower()] = (value(cell("GRR Stdev----->")), value(cell("GRR Limit----->")), cell("Unit----->"))
    tcol = head.index("TesterID")
    items = [c for c in range(len(head)) if head[c] not in ("SerialNumber", "TesterID", "timeStamp")]
    items = [c for c in items if all(numeric(r[c]) for r in data) and any(value(r[c]) is not None for r in data)]
    upper = {c: value(markers["Upper Limit----->"][c]) for c in items}
    lower = {c: value(markers["Lower Limit----->"][c]) for c in items}

    df = pd.DataFrame({"serial": [r[0] for r in data], "tester": [r[tcol] for r in data]})
    for c in items:
        df[c] = [np.nan if value(r[c]) is None else value(r[c]) for r in data]
    df["key"] = df["serial"].str.lower()

    def sample_stats(frame, by):
        g = frame.groupby(by, sort=False)
        out = {}
        for c in items:
            out[c] = pd.DataFrame({"n": g[c].count(), "avg": g[c].mean(), "std": g[c].std(ddof=1),
                                   "max": g[c].max(), "min": g[c].min()})
        return g, out

    testers = [("ALL", df)] + [(t, df[df["tester"] == t]) for t in pd.unique(df["tester"])]
    types = {}
    for name, _ in testers:
        up = name.upper()
        types[name] = 1 if "GOLD" in up else 2 if "ALL" in up else 0
    goldens = [n for n, _ in testers if types[n] == 1]
    if len(goldens) > 1:
        print("ERROR Multiple Golden Tester")
        return
    golden = goldens[0] if goldens else "ALL"
    print("G %s" % golden)

    def stats_of(frame):
        _, st = sample_stats(frame, "serial")
        recs = {}
        for serial in pd.unique(frame["serial"]):
            recs[serial] = {}
            for c in items:
                s = st[c].loc[serial]
                n = int(s["n"])
                recs[serial][c] = {"avg": float(s["avg"]) if n else math.nan,
                                   "std": float(s["std"]) if n >= 2 else 0.0,
                                   "max": float(s["max"]) if n else None,
                                   "min": float(s["min"]) if n else None}
        return recs

    gframe = dict(testers)[golden]
    gstats = stats_of(gframe)
    # The first golden sample of each lower-cased serial number.
    gfirst = gframe.drop_duplicates("key", keep="first").set_index("key")["serial"]
    enabled = False
    for name, frame in testers:
        st = stats_of(frame)
        counts = frame.groupby("serial", sort=False).size()
        # merged on the lower-cased serial number: each sample with its golden partner
        samples = pd.DataFrame({"serial": pd.unique(frame["serial"])})
        samples["key"] = samples["serial"].str.lower()
        samples = samples.merge(gfirst.rename("gserial"), left_on="key", right_index=True, how="left")
        pmax = {c: None for c in items}
        pmin = {c: None for c in items}
        gsum = {c: None for c in items}
        ggsum = {c: None for c in items}
        navg = {c: 0 for c in items}
        pres = {c: 0 for c in items}
        tres, tmax, tmin, gcount = 0, None, None, 0
        for _, row in samples.iterrows():
            serial = row["serial"]
            isg = isinstance(row["gserial"], str)
            sres = 0
            recs = []
            for c in items:
                d = st[serial][c]
                rec = {"grr": 0, "avg_golden": None, "stdev": None, "limit": None, "glu": None, "gll": None,
                       "bu": None, "bl": None, "pu": None, "pl": None, "res": 0, "unit": "-"}
                recs.append((c, d, rec))
                if not isg:
                    continue
                gd = gstats[row["gserial"]][c]
                has = measured(d["avg"]) and measured(gd["avg"])
                cr = crit.get(head[c].lower())
                missing = cr is not None and cr[1] is None
                if has and not missing:
                    pres[c] = 2
                if cr is not None:
                    rec["grr"] = 1
                    rec["stdev"] = cr[0] if cr[0] is not None else 3.0
                    rec["limit"] = cr[1]
                    rec["unit"] = cr[2] or "-"
                    enabled = True
                elif present(upper[c]) and present(lower[c]) and upper[c] != lower[c]:
                    rec["stdev"] = 3.0
                    rec["limit"] = (upper[c] - lower[c]) * SHARE
                else:
                    continue
                rec["avg_golden"] = gd["avg"]
                if present(rec["limit"]):
                    rec["glu"] = gd["avg"] + rec["limit"]
                    rec["gll"] = gd["avg"] - rec["limit"]
                rec["bu"] = d["avg"] + d["std"] * rec["stdev"]
                rec["bl"] = d["avg"] - d["std"] * rec["stdev"]
                if present(rec["glu"]) and (rec["bu"] > rec["glu"] or rec["bl"] < rec["gll"]):
                    rec["res"] = 1
                    sres = 1
                if present(rec["limit"]):
                    rec["pu"] = pct(rec["bu"], gd["avg"], rec["limit"])
                    rec["pl"] = pct(rec["bl"], gd["avg"], rec["limit"])
                if not rec["grr"] or not has:
                    continue
                gsum[c] = d["avg"] if gsum[c] is None else gsum[c] + d["avg"]
                ggsum[c] = gd["avg"] if ggsum[c] is None else ggsum[c] + gd["avg"]
                navg[c] += 1
                if missing:
                    continue
                tres = tres or 2
                sres = sres or 2
                pmax[c] = rec["pu"] if pmax[c] is None else max(pmax[c], rec["pu"])
                tmax = rec["pu"] if tmax is None else max(tmax, rec["pu"])
                pmin[c] = rec["pl"] if pmin[c] is None else min(pmin[c], rec["pl"])
                tmin = rec["pl"] if tmin is None else min(tmin, rec["pl"])
                if pmax[c] > 100 or pmin[c] < -100:
                    pres[c] = 1
                    tres = 1
            gcount += isg
            print("S %s %s %d %d %d" % (name, serial, isg, sres, counts[serial]))
            for c, d, rec in recs:
                print("D %s %s %d %d %s %s %s %s %s %s %s %s %s %s %s %s %s %d %s" % (
                    name, serial, c, rec["grr"], fmt(d["avg"]), fmt(d["std"]), fmt(d["max"]), fmt(d["min"]),
                    fmt(rec["avg_golden"]), fmt(rec["stdev"]), fmt(rec["limit"]), fmt(rec["glu"]), fmt(rec["gll"]),
                    fmt(rec["bu"]), fmt(rec["bl"]), fmt(rec["pu"]), fmt(rec["pl"]), rec["res"], rec["unit"]))
        print("T %s %d %d %d %s %s" % (name, types[name], gcount, tres, fmt(tmax), fmt(tmin)))
        for c in items:
            avg = gsum[c] / navg[c] if navg[c] else None
            gavg = ggsum[c] / navg[c] if navg[c] else None
            print("C %s %d %s %s %s %s %d" % (name, c, fmt(pmax[c]), fmt(pmin[c]), fmt(avg), fmt(gavg), pres[c]))
    print("E %d" % enabled)


def pct(bound, ref, limit):
    e = (bound - ref) * 100.0
    if e != 0 and not math.isnan(e):
        e = math.inf if limit == 0 else e / limit
    return e


# ---------------------------------------------------------------- the library's calculator

LIB_EXCLUDED = [t.lower() for t in ["SerialNumber", "StartTime", "EndTime", "SwVersion", "Version", "TesterID",
                                    "Tester ID", "StationID", "Station ID", "Time Stamp", "TimeStamp"]]


def lib_number(text, limit_row=False):
    # empty, NA and text cells are NaN in the library's table
    t = text.strip()
    if t.upper() in ("", "NA", "N/A", "NAN"):
        return math.nan
    try:
        v = float(t)
    except ValueError:
        return math.nan
    if v == -1.23456 or (limit_row and abs(v) == 999999.0):
        return math.nan
    return v


def library(log, config):
    head, markers, data = read_table(log)
    ch, cm, _ = read_table(config)
    cols = len(head)
    vals = np.array([[lib_number(r[c]) for c in range(cols)] for r in data])
    param = [head[c].lower() not in LIB_EXCLUDED and bool(np.any(~np.isnan(vals[:, c]))) for c in range(cols)]
    upper = [lib_number(markers["Upper Limit----->"][c], True) for c in range(cols)]
    lower = [lib_number(markers["Lower Limit----->"][c], True) for c in range(cols)]
    stdev_set, limit_set = [None] * cols, [None] * cols  # None: the sentinel
    for cc, title in enumerate(ch):
        for c in range(cols):
            if head[c] == title:  # titles match exactly here
                stdev_set[c] = lib_number(cm["GRR Stdev----->"][cc])
                limit_set[c] = lib_number(cm["GRR Limit----->"][cc])

    def given(v):
        return v is not None and not math.isnan(v)

    def frame_of(c):
        isgrr = given(stdev_set[c]) and given(limit_set[c])
        sigma = stdev_set[c] if given(stdev_set[c]) else 3.0
        if given(limit_set[c]):
            limit = limit_set[c]
        elif not math.isnan(upper[c]) and not math.isnan(lower[c]):
            limit = (upper[c] - lower[c]) * SHARE
        else:
            limit = None
        return isgrr, sigma, limit

    def col_stat(rows, c):
        v = vals[rows, c]
        n = len(v)
        mean = float(np.sum(v) / n)
        sd = float(math.sqrt(np.sum((v - mean) ** 2) / (n - 1))) if n >= 2 else 0.0
        return list(v), mean, sd

    def item(rows, c, pooled):
        isgrr, sigma, limit = frame_of(c)
        v, m, s = col_stat(rows, c)
        if pooled:
            kept = [x for x in v if m - s <= x <= m + s]
            if len(kept) >= 3:
                m = float(np.mean(kept))
                s = float(np.std(kept, ddof=1))
                v = kept
        return {"name": head[c], "grr": isgrr, "sigma": sigma, "limit": limit, "values": v, "mean": m, "std": s,
                "up": m + sigma * s, "lo": m - sigma * s, "gmean": None, "pu": None, "pl": None, "res": -2}

    def groups(rows, col):
        keys = [data[r][col] for r in rows]
        names = list(dict.fromkeys(keys))
        if len(names) < 2:
            return []
        if "" in names:
            names.remove("")
            if "N/A" not in names:
                names.append("N/A")
        return [(n, [r for r in rows if (data[r][col] or "N/A") == n]) for n in names]

    tcol, scol = head.index("TesterID"), head.index("SerialNumber")
    items_cols = [c for c in range(cols) if param[c]]
    testers = []
    for tname, trows in groups(list(range(len(data))), tcol):
        mods = groups(trows, scol)
        if not mods:
            mods = [(data[trows[0]][scol] or "N/A", trows)]  # one serial number: one module
        testers.append({"name": tname, "modules": [{"name": mn, "rows": mr, "has": False, "res": -2, "max": None,
                                                     "min": None, "items": [item(mr, c, False) for c in items_cols]}
                                                    for mn, mr in mods]})
    gold = next((t for t in testers if "gold" in t["name"].lower()), None)
    if gold is not None:
        testers.remove(gold)
    else:
        gold = {"name": "pseudo golden tester", "modules": [
            {"name": mn, "has": True, "items": [item(mr, c, True) for c in items_cols]}
            for mn, mr in groups(list(range(len(data))), scol)]}
    print("LG %s %d" % (gold["name"].replace(" ", "_"), len(gold["modules"])))
    for gm in gold["modules"]:
        for it in gm["items"]:
            print("LP %s %s %s %s %d" % (gm["name"], it["name"], fmt(it["mean"]), fmt(it["std"]), len(it["values"])))
    gmods = {}
    for gm in gold["modules"]:
        gmods.setdefault(gm["name"], gm)
    for t in testers:
        tmax, tmin, judged = -1000.0, 1000.0, 0
        for m in t["modules"]:
            g = gmods.get(m["name"])
            if g is None:
                continue
            m["has"], m["max"], m["min"] = True, -1000.0, 1000.0
            gitems = {}
            for j in g["items"]:
                gitems.setdefault(j["name"], j)
            for it in m["items"]:
                j = gitems.get(it["name"])
                if j is None:
                    continue
                it["gmean"] = j["mean"]
                if it["limit"] is not None:
                    it["pu"] = (it["up"] - j["mean"]) / it["limit"] * 100.0
                    it["pl"] = (it["lo"] - j["mean"]) / it["limit"] * 100.0
                else:
                    it["pu"] = it["pl"] = 0.0
                if not it["grr"]:
                    it["res"] = -2
                elif len(it["values"]) < 2:
                    it["res"] = -1
                elif it["pl"] >= -100 and it["pu"] <= 100:
                    it["res"] = 1
                else:
                    it["res"] = 0
                m["max"] = it["pu"] if it["pu"] > m["max"] else m["max"]  # a NaN changes no extreme
                m["min"] = it["pl"] if it["pl"] < m["min"] else m["min"]
            res = [it["res"] for it in m["items"]]
            if all(r == -2 for r in res):
                m["res"] = -2
            elif -1 in res:
                m["res"] = -1
            elif m["min"] >= -100 and m["max"] <= 100:
                m["res"] = 1
            else:
                m["res"] = 0
            tmax, tmin = max(tmax, m["max"]), min(tmin, m["min"])
        results = [m["res"] for m in t["modules"]]
        if all(r == -2 for r in results):
            tres = -2
        else:
            judged = sum(r in (0, 1) for r in results)
            tres = -1 if judged < 1 else 1 if tmin >= -100 and tmax <= 100 else 0
        print("LT %s %d %d %s %s" % (t["name"], tres, judged, fmt(tmax), fmt(tmin)))
        for m in t["modules"]:
            print("LM %s %s %d %d %s %s" % (t["name"], m["name"], m["res"], m["has"], fmt(m["max"]), fmt(m["min"])))
            for it in m["items"]:
                print("LI %s %s %s %d %d %s %s %s %s %s %s %s %s %s %d" % (
                    t["name"], m["name"], it["name"], it["grr"], it["res"], fmt(it["mean"]), fmt(it["std"]),
                    fmt(it["sigma"]), fmt(it["up"]), fmt(it["lo"]), fmt(it["gmean"]), fmt(it["limit"]),
                    fmt(it["pu"]), fmt(it["pl"]), len(it["values"])))


def main():
    mode = sys.argv[1]
    if mode == "gen":
        gen(int(sys.argv[2]), sys.argv[3], len(sys.argv) > 4 and sys.argv[4] == "pseudo")
    elif mode == "model":
        model(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)
    elif mode == "library":
        library(sys.argv[2], sys.argv[3])


main()
