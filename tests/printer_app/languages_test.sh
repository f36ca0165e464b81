#!/bin/bash
# The web interface in the reader's language: the printer's page, the home
# page, the supplies page and the add-printer page fetched with each
# Accept-Language a browser sends come in Simplified Chinese or English; an
# IPP client asking in Chinese is given the Chinese strings file; headless
# Chromium started with --lang=zh-CN shows the printer's page in Chinese
# (its screenshot lands in ARTEFACT_DIR/web-zh-CN.png).
#
#   languages_test.sh APP ADDRESS ARTEFACT_DIR
#
# In a network namespace of its own, with TLS on as the packaged service runs.
# The Chromium part is skipped, not failed, where Chromium is missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
APP=$1 ADDR=$2 ARTEFACTS=$3
. "$here/begin.sh" --netns "$@"
mkdir -p "$W/device" "$ARTEFACTS"

APP_OPTIONS="-o server-options= ${APP_OPTIONS:-}" app_start "$APP" "$W/app" "$ADDR" \
    "Debian GNU/Linux 12 \\n \\l" || exit 1
app add -d office -v "file://$W/device" -m quovel-r4410kx >/dev/null
check "the printer was added" equals "$(app printers)" office
BASE=https://$ADDR:${APP_URI##*:}

lacks() { ! grep -qF -- "$2" <<<"$1" || { echo "  holds: $2" >&2; false; }; }

# page PATH LANGUAGE: the page as a client asking for LANGUAGE gets it ("-":
# no Accept-Language header at all).
page() {
    local args=(-sS -k --max-time 60)
    [ "$2" = - ] || args+=(-H "Accept-Language: $2")
    curl "${args[@]}" "$BASE$1"
}

ZH_FOOTER="Quovel 打印机应用程序：为 Quovel R4410KX 和 L8120KX 系列打印机提供 IPP Everywhere 打印。"
EN_FOOTER="Quovel Printer Application: IPP Everywhere printing for Quovel R4410KX and L8120KX series printers."

# What each page must show in each language, and what it must not: the
# printer's state (PAPPL's own text), the footer and the drivers (the app's).
# Chinese for every tag a browser sends for Simplified Chinese, and for
# zh-TW, which PAPPL cuts to "zh" (no Traditional Chinese is shipped);
# English for English, for a language not shipped and for no header.
while IFS='|' read -r path language shows hides; do
    body=$(page "$path" "$language")
    check "$path for '$language' shows '$shows'" lists "$body" "$shows"
    check "$path for '$language' does not show '$hides'" lacks "$body" "$hides"
done <<CASES
/office/|zh-CN|空闲, 0 个作业|Idle
/office/|zh-CN|$ZH_FOOTER|$EN_FOOTER
/office/|zh-CN,zh;q=0.9,en;q=0.8|空闲|Idle
/office/|zh-Hans|空闲|Idle
/office/|zh-Hans-CN|空闲|Idle
/office/|zh|空闲|Idle
/office/|zh-SG|空闲|Idle
/office/|ZH-cn|空闲|Idle
/office/|zh-TW|空闲|Idle
/office/|en|Idle, 0 jobs|空闲
/office/|en|$EN_FOOTER|$ZH_FOOTER
/office/|en-US,en;q=0.9,zh-CN;q=0.8|Idle|空闲
/office/|ko|Idle|空闲
/office/|-|Idle|空闲
/office/|-|$EN_FOOTER|$ZH_FOOTER
/office/supplies|zh-CN|<title>耗材|<title>Supplies
/|zh-CN|打印机|$EN_FOOTER
/|zh-CN|$ZH_FOOTER|$EN_FOOTER
/addprinter|zh-CN|Quovel R4410KX 系列|Quovel R4410KX series
/addprinter|zh-CN|Quovel L8120KX 系列|Quovel L8120KX series
/addprinter|zh-CN|添加打印机|Add Printer
/addprinter|en|Quovel R4410KX series|Quovel R4410KX 系列
CASES

# An IPP client asking in Chinese is pointed at the Chinese strings file,
# the one the web pages use.
cat >"$W/strings.test" <<'TEST'
{
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language zh-cn
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes printer-strings-languages-supported,printer-strings-uri
  STATUS successful-ok
  DISPLAY printer-strings-languages-supported
  DISPLAY printer-strings-uri
}
TEST
answer=$(ipptool -t "ipp://$ADDR:${APP_URI##*:}/ipp/print/office" "$W/strings.test")
check "Get-Printer-Attributes lists the languages" lists "$answer" \
    "printer-strings-languages-supported (1setOf naturalLanguage) = en,zh-cn,zh"
# libcups sends "Host: localhost" for any loopback address, and PAPPL builds
# the URI from it; the app listens on $ADDR only.
strings_uri=$(sed -n 's/^ *printer-strings-uri (uri) = //p' <<<"$answer")
strings_uri=${strings_uri/\/\/localhost:/\/\/$ADDR:}
check "a client asking in Chinese is given a strings URI" test -n "$strings_uri"
check "that URI serves the Chinese strings" \
    lists "$(curl -sS -k --max-time 60 "$strings_uri")" '"printer-state.3" = "空闲";'

# The printer's and a job's messages, and the answers, to an IPP client
# asking in Chinese; English to one asking in English.
cat >"$W/state.test" <<'TEST'
{
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language $lang
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes printer-state-message
  STATUS successful-ok
  DISPLAY printer-state-message
}
{
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language $lang
  ATTR uri printer-uri $uri
  ATTR integer job-id 4711
  STATUS client-error-not-found
  DISPLAY status-message
}
TEST
printf '%%!PS\n%%%%Pages: 1\nshowpage\n' >"$W/page.ps"
job=$(app_submit office "$W/page.ps")
check "a job was accepted" test -n "$job"
check "the job completed" equals "$(app_wait_job office "$job")" completed
while IFS='|' read -r lang printer_message job_message answer; do
    said=$(ipptool -t -d "lang=$lang" "ipp://$ADDR:${APP_URI##*:}/ipp/print/office" "$W/state.test")
    check "in '$lang' the printer says '$printer_message'" lists "$said" "printer-state-message (textWithoutLanguage) = $printer_message"
    check "in '$lang' a missing job is '$answer'" lists "$said" "status-message (textWithoutLanguage) = $answer"
    check "in '$lang' the ended job says '$job_message'" \
        equals "$(APP_LANGUAGE=$lang app_job_attr office "$job" job-state-message)" "$job_message"
done <<CASES
zh-cn|空闲。|作业已完成。|未找到 job-id 4711。
zh-CN|空闲。|作业已完成。|未找到 job-id 4711。
en|Idle.|Job completed.|job-id 4711 not found.
ko|Idle.|Job completed.|job-id 4711 not found.
CASES

# The sub-commands to a user whose LANG is Chinese, and to one whose is not.
# A device without a supported model's ID is refused at "add": the command's
# own words and the app's answer come in the user's language.
while IFS='|' read -r lang add_says delete_says; do
    said=$(unset LC_ALL LC_MESSAGES; LANG=$lang app add -d other -v file:///dev/null 2>&1)
    check "LANG=$lang: add refuses an unknown device, saying '$add_says'" lists "$said" "$add_says"
    said=$(unset LC_ALL LC_MESSAGES; LANG=$lang app delete 2>&1)
    check "LANG=$lang: delete without a printer says '$delete_says'" lists "$said" "$delete_says"
done <<CASES
zh_CN.UTF-8|$(basename "$APP")：无法添加打印机：驱动程序“auto”不能用于此打印机。|$(basename "$APP")：缺少“-d PRINTER”。
C.UTF-8|$(basename "$APP"): Unable to add printer: Driver 'auto' cannot be used with this printer.|$(basename "$APP"): Missing '-d PRINTER'.
CASES
check "no printer was added by a refused add" equals "$(app printers)" office

if command -v chromium >/dev/null; then
    # Chromium runs as root here, hence no sandbox; the app's certificate is
    # its own, self-signed. Headless, it sends "en-US,en" whatever --lang
    # says: --accept-lang is what a desktop Chromium takes from --lang.
    browser() {
        HOME=$W timeout 120 chromium --headless --no-sandbox --disable-gpu --lang=zh-CN \
            --accept-lang=zh-CN --ignore-certificate-errors --user-data-dir="$W/chromium" \
            --window-size=1024,640 "$@" "$BASE/office/" 2>>"$W/chromium.log"
    }
    dom=$(browser --dump-dom)
    check "Chromium with --lang=zh-CN shows the printer's state in Chinese" lists "$dom" "空闲, 0 个作业"
    check "Chromium with --lang=zh-CN shows the footer in Chinese" lists "$dom" "$ZH_FOOTER"
    check "Chromium with --lang=zh-CN shows no English state" lacks "$dom" "Idle"
    rm -f "$ARTEFACTS/web-zh-CN.png"
    (cd "$W" && browser --screenshot="$ARTEFACTS/web-zh-CN.png" >/dev/null)
    check "Chromium saved a screenshot of the Chinese page" test -s "$ARTEFACTS/web-zh-CN.png"
else
    echo "SKIPPED: the Chromium part (no chromium)"
fi

check "the app stopped cleanly" app_stopped_cleanly
summary "languages"
