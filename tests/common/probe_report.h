/* What a probe reports of how it was started, and the C and C++ reader of it (Java's is
 * tests/java/support/startutil/test/ProbeReport.java). A probe writes <pid>.report into the
 * directory that STARTUTIL_PROBE_DIR names, under another name first and then renamed, so that a
 * reader sees all of it or nothing; argv_probe writes to standard output instead. Each line is
 * `key=value` and LF; in a value every byte below 0x20, and '%', is %XX in hex.
 *   every probe  pid (not argv_probe); argc and argv.0 to argv.<argc-1>, as its C runtime gave
 *   Linux        ppid, pgid, sid; tty (yes, none, "error E"); cwd; env ($STARTUTIL_PROBE_ENV);
 *                fd.N (each open descriptor's target); sigmask (16 hex digits); sigignored (1,13)
 *   Windows      commandline; cwd; marker ($STARTUTIL_PROBE_MARKER); console_window (yes, no);
 *                handle (unset, closed, open, other, inherited)
 *   Arm64 Windows  commandline alone
 * Plain C that needs no C runtime: the Arm64 Windows programs have none. */
#ifndef STARTUTIL_PROBE_REPORT_H
#define STARTUTIL_PROBE_REPORT_H

#ifdef __cplusplus
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

/* Writes one byte of a value as a report has it (itself, or %XX) at out; returns the count. */
static inline unsigned probeReportPutByte(char* out, unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    if (c >= 0x20 && c != '%') {
        out[0] = (char)c;
        return 1;
    }
    out[0] = '%';
    out[1] = hex[c >> 4];
    out[2] = hex[c & 0xF];
    return 3;
}

static inline int probeReportHexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* One line of a report, both parts NUL-terminated inside the report's own text. */
struct ProbeReportField {
    char* key;
    char* value; /* the escapes undone */
};

/* Takes the line at *text apart in place and moves *text past it. 1 for a field; 0 at the end of
 * the text; -1 for a line that is not `key=value` and LF, or a value with a broken escape. */
static inline int probeReportNext(char** text, struct ProbeReportField* field) {
    char *at = *text, *to;
    if (*at == '\0') return 0;
    for (field->key = at; *at != '='; ++at) {
        if (*at == '\0' || *at == '\n') return -1;
    }
    if (at == field->key) return -1;
    *at = '\0';
    for (field->value = to = ++at; *at != '\n'; ++to) {
        int high, low;
        if (*at == '\0') return -1;
        if (*at != '%') {
            *to = *at++;
        } else if ((high = probeReportHexDigit(at[1])) < 0 ||
                   (low = probeReportHexDigit(at[2])) < 0 || high + low == 0) {
            return -1;
        } else {
            *to = (char)(high * 16 + low);
            at += 3;
        }
    }
    *to = '\0';
    *text = at + 1;
    return 1;
}

enum { PROBE_REPORT_MOST_FIELDS = 64 }; /* a whole report, taken apart in place, for C readers */
struct ProbeReportFields {
    int count;
    struct ProbeReportField fields[PROBE_REPORT_MOST_FIELDS];
};

/* 1 when all of the text is a report of no more fields than fit. */
static inline int probeReportParse(char* text, struct ProbeReportFields* report) {
    int next;
    for (report->count = 0; report->count < PROBE_REPORT_MOST_FIELDS; ++report->count) {
        if ((next = probeReportNext(&text, &report->fields[report->count])) != 1) return next == 0;
    }
    return *text == '\0';
}

/* The value of `key`, or null if the report has none. */
static inline const char* probeReportValue(const struct ProbeReportFields* report,
                                           const char* key) {
    int i;
    for (i = 0; i < report->count; ++i) {
        const char *a = report->fields[i].key, *b = key;
        while (*a != '\0' && *a == *b) ++a, ++b;
        if (*a == *b) return report->fields[i].value;
    }
    return 0;
}

#ifdef __cplusplus
#pragma GCC diagnostic pop

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// A report for the C++ readers: key to value. Text that is no report is an error, not an empty
// report, so that a test looking for what is absent cannot pass on it.
using ProbeReport = std::map<std::string, std::string>;

inline ProbeReport parseProbeReport(const std::string& text) {
    ProbeReport report;
    std::string copy = text;
    char* at = copy.data();
    ProbeReportField field;
    int next;
    while ((next = probeReportNext(&at, &field)) == 1) report[field.key] = field.value;
    if (next < 0 || at != copy.data() + copy.size()) {
        throw std::runtime_error("not a probe report: " + text);
    }
    return report;
}

// One line of a report, as a probe writes it.
inline std::string probeReportLine(const std::string& key, const std::string& value) {
    std::string line = key + '=';
    for (char c : value) {
        char escaped[3];
        line.append(escaped, probeReportPutByte(escaped, static_cast<unsigned char>(c)));
    }
    return line + '\n';
}

// The argv a report gives, as its C runtime built it.
inline std::vector<std::string> argvOf(const ProbeReport& report) {
    std::vector<std::string> argv;
    int argc = std::stoi(report.at("argc"));
    for (int i = 0; i < argc; ++i) argv.push_back(report.at("argv." + std::to_string(i)));
    return argv;
}
#endif

#endif
