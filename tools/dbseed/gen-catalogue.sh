#!/usr/bin/env bash
# Writes a large, realistic symbol catalogue as tab-separated "Symbol<TAB>Exch" lines,
# for loading with LOAD DATA into contractv2.
#
#   gen-catalogue.sh COUNT OUTPUT.tsv [EXISTING.tsv]
#
# COUNT new rows are written; a row already listed in EXISTING.tsv (same layout) is never
# produced again, so the demo catalogue can be kept beside the generated one. The output
# is the same on every run. Most rows are index and stock options (NIFTY24DEC23500CE,
# BANKNIFTY25JAN51000PE, RELIANCE24DEC1240CE); the other eight segment codes get a few
# per cent each, and whatever a small segment cannot fill goes to OPTION.
set -euo pipefail

if [ $# -lt 2 ] || ! [[ "$1" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 COUNT OUTPUT.tsv [EXISTING.tsv]" >&2
  exit 2
fi
count=$1
out=$2
existing=${3:-/dev/null}

LC_ALL=C awk -v n="$count" -v existing="$existing" -F'\t' '
function emit(sym, ex,    k) {
  k = sym SUBSEP ex
  if (k in seen) return 0
  seen[k] = 1
  print sym "\t" ex
  produced++
  return 1
}
function split_list(s, arr) { return split(s, arr, " ") }
# Strike ladder: 0, +1, -1, +2, -2 ... steps away from the base.
function ladder(r) { return (r % 2) ? (r + 1) / 2 : -r / 2 }
function step_for(price) {
  if (price < 250) return 5
  if (price < 1000) return 20
  if (price < 3000) return 50
  if (price < 10000) return 100
  return 500
}
# Stock names: real ones first, then invented company names built from common parts.
function stock(i,    j, p, s, g) {
  if (i < nreal) return real[i + 1]
  j = i - nreal
  p = j % npre; s = int(j / npre) % nsuf; g = int(j / (npre * nsuf))
  return pre[p + 1] suf[s + 1] (g > 0 ? g + 1 : "")
}
function month_code(m,    y) {  # m = 0 is December 2024
  y = 24 + int((m + 11) / 12)
  return sprintf("%02d%s", y, mon[(m + 11) % 12 + 1])
}
# Fills one simple segment from a generator until its quota or its name pool runs out.
function fill_list(ex, list, quota,    a, c, i, got) {
  c = split_list(list, a); got = 0
  for (i = 1; i <= c && got < quota; i++) got += emit(a[i], ex)
  return got
}
BEGIN {
  nreal = split_list("RELIANCE TCS INFY HDFCBANK ICICIBANK SBIN AXISBANK KOTAKBANK LT ITC HINDUNILVR BHARTIARTL BAJFINANCE BAJAJFINSV MARUTI M&M TATAMOTORS TATASTEEL JSWSTEEL HCLTECH WIPRO TECHM SUNPHARMA DRREDDY CIPLA DIVISLAB ASIANPAINT ULTRACEMCO GRASIM NESTLEIND BRITANNIA TITAN POWERGRID NTPC ONGC COALINDIA BPCL IOC HEROMOTOCO EICHERMOT BAJAJ-AUTO ADANIENT ADANIPORTS APOLLOHOSP HDFCLIFE SBILIFE INDUSINDBK TATACONSUM UPL HINDALCO VEDL DLF PNB BANKBARODA CANBK IDEA ZOMATO IRCTC MCDOWELL-N L&TFH TATAPOWER ABB ACC AUBANK ABCAPITAL ALKEM AMBUJACEM APOLLOTYRE ASHOKLEY ASTRAL ATUL AUROPHARMA BALKRISIND BANDHANBNK BATAINDIA BEL BERGEPAINT BHARATFORG BHEL BIOCON BOSCHLTD CHAMBLFERT CHOLAFIN COFORGE COLPAL CONCOR COROMANDEL CROMPTON CUMMINSIND DABUR DALBHARAT DEEPAKNTR DIXON ESCORTS EXIDEIND FEDERALBNK GAIL GLENMARK GMRINFRA GNFC GODREJCP GODREJPROP GRANULES GUJGASLTD HAL HAVELLS HDFCAMC HINDCOPPER HINDPETRO ICICIGI ICICIPRULI IDFCFIRSTB IEX IGL INDHOTEL INDIACEM INDIAMART INDIGO INDUSTOWER IPCALAB JINDALSTEL JKCEMENT JUBLFOOD LALPATHLAB LAURUSLABS LICHSGFIN LTIM LTTS LUPIN MANAPPURAM MARICO MCX METROPOLIS MFSL MGL MOTHERSON MPHASIS MRF MUTHOOTFIN NATIONALUM NAUKRI NAVINFLUOR NMDC OBEROIRLTY OFSS PAGEIND PEL PERSISTENT PETRONET PFC PIDILITIND PIIND POLYCAB RAMCOCEM RBLBANK RECLTD SAIL SBICARD SHREECEM SHRIRAMFIN SIEMENS SRF SUNTV SYNGENE TATACHEM TATACOMM TORNTPHARM TRENT TVSMOTOR UBL UNITDSPR VOLTAS ZYDUSLIFE", real)
  npre = split_list("ADITYA AMAR ANAND APEX ARIHANT BHARAT CENTURY CITY DECCAN DHAN EASTERN GANGA GLOBAL GOLDEN GUJARAT HIMALAYA INDO JAI KAVERI KRISHNA LAKSHMI MAHA MODERN NAVA NORTHERN ORIENT PRIME RAJ SAGAR SHREE SHIVA SOUTHERN SUN SUPREME SWASTIK TRIVENI UNITED VARDHMAN VIJAY WESTERN", pre)
  nsuf = split_list("AGRO AUTO BANK CABLES CEMENT CHEM CORP ENERGY ENGG EXPORTS FIN FOODS GAS INFRA INDS LIFE METALS MILLS MOTORS PAPER PHARMA PIPES POLY POWER PROJECTS REALTY SOFT SPINNERS STEEL SUGAR TEA TECH TEXTILES TYRES WIRES", suf)
  split("I II III", ser, " ")
  split("JAN FEB MAR APR MAY JUN JUL AUG SEP OCT NOV DEC", mon, " ")

  nidx = split_list("NIFTY BANKNIFTY FINNIFTY MIDCPNIFTY NIFTYNXT50 SENSEX BANKEX", idx)
  split("24000 51500 23500 12000 70000 80000 58000", idxbase, " ")
  split("50 100 50 25 100 100 100", idxstep, " ")
  ncom = split_list("CRUDEOIL CRUDEOILM GOLD GOLDM GOLDGUINEA GOLDPETAL SILVER SILVERM SILVERMIC NATURALGAS NATGASMINI COPPER ZINC ZINCMINI LEAD LEADMINI ALUMINIUM ALUMINI NICKEL MENTHAOIL COTTON COTTONCNDY CARDAMOM CASTORSEED KAPAS", com)
  split("6000 6000 77000 77000 62000 7600 92000 92000 92000 270 270 810 270 270 180 180 235 235 1400 920 56000 56000 2300 6200 1500", combase, " ")
  ncur = split_list("USDINR EURINR GBPINR JPYINR EURUSD GBPUSD USDJPY", cur)
  split("8450 8850 10700 5500 105 127 15000", curbase, " ")
  split("25 25 25 25 1 1 50", curstep, " ")
  nagr = split_list("DHANIYA JEERAUNJHA GUARSEED10 GUARGUM5 CASTORSEED TURMERIC SYBEANIDR RMSEED COCUDAKL KAPAS COTWASOILN CHANA BARLEYJPR MAIZEKHRF MOONG STEEL", agr)

  while ((getline line < existing) > 0) {
    split(line, f, "\t")
    if (f[1] != "" && f[2] != "") seen[f[1] SUBSEP f[2]] = 1
  }

  produced = 0

  # CASH: listed stocks.
  q = int(n * 0.015)
  for (i = 0; got_cash < q && i < 50 * q + 1000; i++) got_cash += emit(stock(i), "CASH")

  # FUTURE: index futures, then stock futures, near / next / far.
  q = int(n * 0.03); got = 0
  for (i = 1; i <= nidx && got < q; i++)
    for (k = 1; k <= 3 && got < q; k++) got += emit(idx[i] "-" ser[k], "FUTURE")
  for (i = 0; got < q && i < 50 * q + 1000; i++) {
    got += emit(stock(i) "-I", "FUTURE")
    if (got < q) got += emit(stock(i) "-II", "FUTURE")
    if (got < q) got += emit(stock(i) "-III", "FUTURE")
  }

  # MCX: continuous contracts, then monthly futures.
  q = int(n * 0.01); got = 0
  for (m = -1; got < q && m < 1200; m++)
    for (i = 1; i <= ncom && got < q; i++)
      got += emit(com[i] (m < 0 ? "-I" : month_code(m) "FUT"), "MCX")

  # CURRENCY: monthly futures, then option strikes around the rate.
  q = int(n * 0.007); got = 0
  for (m = 0; m < 12 && got < q; m++)
    for (i = 1; i <= ncur && got < q; i++) got += emit(cur[i] month_code(m) "FUT", "CURRENCY")
  for (r = 0; got < q && r < 4000; r++)
    for (m = 0; m < 3 && got < q; m++)
      for (i = 1; i <= ncur && got < q; i++) {
        s = curbase[i] + ladder(r) * curstep[i]
        if (s <= 0) continue
        got += emit(cur[i] month_code(m) s "CE", "CURRENCY")
        if (got < q) got += emit(cur[i] month_code(m) s "PE", "CURRENCY")
      }

  # SPOTINDEX: the published indices (a small pool).
  fill_list("SPOTINDEX", "NIFTY BANKNIFTY FINNIFTY MIDCPNIFTY NIFTYNXT50 INDIAVIX SENSEX BANKEX NIFTYIT NIFTYAUTO NIFTYFMCG NIFTYMETAL NIFTYPHARMA NIFTYREALTY NIFTYENERGY NIFTYPSUBANK NIFTYPVTBANK NIFTYMEDIA NIFTYINFRA NIFTYMIDCAP50 NIFTYMIDCAP100 NIFTYMIDCAP150 NIFTYSMLCAP50 NIFTYSMLCAP100 NIFTYSMLCAP250 NIFTY50EQLWGT NIFTY100 NIFTY200 NIFTY500 NIFTYCPSE NIFTYCOMMODITIES NIFTYCONSUMPTION NIFTYMNC NIFTYPSE NIFTYSERVSECTOR NIFTYHEALTHCARE NIFTYOILGAS NIFTYCONSRDURBL NIFTYFINSRV2550 NIFTYINDIADIGITAL NIFTYINDIAMFG NIFTYALPHA50 NIFTYDIVOPPS50 NIFTYGROWSECT15 NIFTYHIGHBETA50 NIFTYLOWVOL50 NIFTYQUALITY30 NIFTYVALUE20 SENSEX50 BSE100 BSE200 BSE500 BSEMIDCAP BSESMALLCAP BSEIT BSEAUTO BSEMETAL BSEOILGAS BSEPOWER BSEREALTY", int(n * 0.001))

  # NCDEX: agricultural futures by month.
  q = int(n * 0.003); got = 0
  for (m = -1; got < q && m < 1200; m++)
    for (i = 1; i <= nagr && got < q; i++)
      got += emit(agr[i] (m < 0 ? "-I" : month_code(m) "FUT"), "NCDEX")

  # CMOPT: commodity options.
  q = int(n * 0.05); got = 0
  for (r = 0; got < q && r < 100000; r++)
    for (m = 0; m < 4 && got < q; m++)
      for (i = 1; i <= ncom && got < q; i++) {
        s = combase[i] + ladder(r) * step_for(combase[i])
        if (s <= 0) continue
        got += emit(com[i] month_code(m) s "CE", "CMOPT")
        if (got < q) got += emit(com[i] month_code(m) s "PE", "CMOPT")
      }

  # FOREX: currency pairs and crypto against the dollar.
  q = int(n * 0.003); got = 0
  ncc = split_list("USD EUR GBP JPY AUD CAD CHF NZD CNH SGD HKD ZAR TRY MXN SEK NOK DKK PLN HUF CZK INR KRW THB IDR MYR PHP BRL CLP ILS AED SAR", cc)
  got += fill_list("FOREX", "XAUUSD XAGUSD XPTUSD XPDUSD XNGUSD WTIUSD BRENTUSD BTCUSD ETHUSD XRPUSD LTCUSD SOLUSD ADAUSD DOGEUSD DOTUSD BNBUSD TRXUSD LINKUSD", q)
  for (i = 1; i <= ncc && got < q; i++)
    for (j = 1; j <= ncc && got < q; j++)
      if (i != j) got += emit(cc[i] cc[j], "FOREX")

  # OPTION: everything still missing, index and stock options at widening strikes.
  q = n - produced; got = 0
  nstockopt = 180
  for (r = 0; got < q; r++) {
    for (i = 1; i <= nidx && got < q; i++)
      for (m = 0; m < 6 && got < q; m++) {
        s = idxbase[i] + ladder(r) * idxstep[i]
        if (s <= 0) continue
        got += emit(idx[i] month_code(m) s "CE", "OPTION")
        if (got < q) got += emit(idx[i] month_code(m) s "PE", "OPTION")
      }
    for (i = 0; i < nstockopt && got < q; i++) {
      base = 100 + (i * 7919) % 4900
      st = step_for(base)
      base = int(base / st) * st
      s = base + ladder(r) * st
      if (s <= 0) continue
      for (m = 0; m < 3 && got < q; m++) {
        got += emit(stock(i) month_code(m) s "CE", "OPTION")
        if (got < q) got += emit(stock(i) month_code(m) s "PE", "OPTION")
      }
    }
  }
}' > "$out"
