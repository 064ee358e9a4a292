#include "app/history_view.h"

#include <algorithm>

namespace {

constexpr HistorySpanInfo kSpans[HISTORY_SPANS] = {
    {600, VORNHIST_SAMPLES, 2000},
    {3600, VORNHIST_SAMPLES, 10000},
    {86400, VORNHIST_MINUTES, 60000},
    {30LL * 86400, VORNHIST_QUARTER_HOURS, 300000},
};

// The readings in the bar's display order, as the CSV columns: field and name.
struct Column {
    int field;
    const char* name;
};
constexpr Column kColumns[LMDATA_FIELDS] = {
    {LM_CPU, "CPU"},   {LM_PWR, "PWR"},   {LM_SYS, "SYS"},  {LM_FAN1, "FAN1"}, {LM_FAN2, "FAN2"},
    {LM_FAN3, "FAN3"}, {LM_VID, "VID"},   {LM_VTT, "VTT"},  {LM_V33, "3.3V"},  {LM_VP5, "+5V"},
    {LM_VM5, "-5V"},   {LM_VP12, "+12V"}, {LM_VM12, "-12V"}};

long long StepOf(int resolution) {
    return resolution == VORNHIST_SAMPLES ? 1 : resolution == VORNHIST_MINUTES ? 60 : 900;
}

bool Usable(const HistorySeries& s) {
    return s.result == VORNHIST_OK && s.info.nSlots > 0 && s.slots.size() >= s.info.nSlots;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian), after H. Hinnant's algorithm.
void CivilFromDays(long long z, long long* y, unsigned* m, unsigned* d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<long long>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

// Appends `v` in decimal with at least `digits` digits. By hand: a printf here would pull
// mingw-w64's formatter into the program.
void AppendNumber(std::string& out, unsigned long long v, int digits = 1) {
    char text[24];
    int n = 0;
    do {
        text[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 || n < digits);
    while (n > 0)
        out += text[--n];
}

}  // namespace

const HistorySpanInfo& SpanInfo(int span) {
    return kSpans[span >= 0 && span < HISTORY_SPANS ? span : 1];
}

unsigned int SlotsOfSpan(int span) {
    const HistorySpanInfo& info = SpanInfo(span);
    return static_cast<unsigned int>(info.seconds / StepOf(info.resolution));
}

SeriesFigures FiguresOf(const HistorySeries& series) {
    SeriesFigures f;
    if (!Usable(series))
        return f;
    long long sum = 0;
    long long count = 0;
    for (unsigned int i = 0; i < series.info.nSlots; ++i) {
        const VORNHISTSLOT& s = series.slots[i];
        if (s.nMean == VORNHIST_GAP)
            continue;
        f.min = f.any ? std::min(f.min, s.nMin) : s.nMin;
        f.max = f.any ? std::max(f.max, s.nMax) : s.nMax;
        f.current = s.nMean;
        f.any = true;
        sum += s.nMean;
        ++count;
    }
    if (count > 0) {
        const long long half = sum >= 0 ? count / 2 : -(count / 2);
        f.mean = static_cast<int>((sum + half) / count);
    }
    return f;
}

std::vector<std::pair<unsigned int, unsigned int>> AlarmRuns(const HistorySeries& series) {
    std::vector<std::pair<unsigned int, unsigned int>> runs;
    if (!Usable(series))
        return runs;
    bool open = false;
    for (unsigned int i = 0; i < series.info.nSlots; ++i) {
        const bool alarm = series.slots[i].bAlarm != 0;
        if (alarm && !open) {
            runs.emplace_back(i, i);
            open = true;
        } else if (alarm) {
            runs.back().second = i;
        } else {
            open = false;
        }
    }
    return runs;
}

int SetResult(const HistorySet& set) {
    for (const HistorySeries& s : set.series) {
        if (s.result == VORNHIST_OK)
            return VORNHIST_OK;
    }
    return set.series[0].result;
}

std::string FormatFixed(int field, int value) {
    if (value == VORNHIST_GAP)
        return std::string();
    const int decimals = field <= LM_SYS ? 1 : field <= LM_VM12 ? 3 : 0;
    const long long v = value;
    const unsigned long long magnitude = static_cast<unsigned long long>(v < 0 ? -v : v);
    std::string text = v < 0 ? "-" : "";
    if (decimals == 0) {
        AppendNumber(text, magnitude);
        return text;
    }
    const unsigned long long scale = decimals == 1 ? 10 : 1000;
    AppendNumber(text, magnitude / scale);
    text += '.';
    AppendNumber(text, magnitude % scale, decimals);
    return text;
}

const char* UnitOfField(int field) {
    return field <= LM_SYS ? "C" : field <= LM_VM12 ? "V" : "rpm";
}

const char* ColumnName(int column) {
    return column >= 0 && column < LMDATA_FIELDS ? kColumns[column].name : "";
}

int FieldOfColumn(int column) {
    return column >= 0 && column < LMDATA_FIELDS ? kColumns[column].field : -1;
}

std::string FormatIsoUtc(long long t) {
    const long long days = (t >= 0 ? t : t - 86399) / 86400;
    const long long rest = t - days * 86400;
    long long y = 0;
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDays(days, &y, &m, &d);
    std::string text = y < 0 ? "-" : "";
    AppendNumber(text, static_cast<unsigned long long>(y < 0 ? -y : y), 4);
    text += '-';
    AppendNumber(text, m, 2);
    text += '-';
    AppendNumber(text, d, 2);
    text += 'T';
    AppendNumber(text, static_cast<unsigned long long>(rest / 3600), 2);
    text += ':';
    AppendNumber(text, static_cast<unsigned long long>(rest / 60 % 60), 2);
    text += ':';
    AppendNumber(text, static_cast<unsigned long long>(rest % 60), 2);
    text += 'Z';
    return text;
}

std::string FormatHistoryCsv(const HistorySet& set) {
    const HistorySpanInfo& span = SpanInfo(set.span);
    const long long step = StepOf(span.resolution);
    const bool aggregated = span.resolution != VORNHIST_SAMPLES;
    std::string csv = "time";
    for (int c = 0; c < LMDATA_FIELDS; ++c) {
        if (aggregated) {
            for (const char* part : {"_min", "_mean", "_max"})
                (csv += ',') += std::string(kColumns[c].name) + part;
        } else {
            (csv += ',') += kColumns[c].name;
        }
    }
    csv += "\r\n";
    // One line per slot of the span that any reading covers; readings fetched a moment apart
    // may start a slot apart.
    bool any = false;
    long long first = 0;
    long long last = 0;
    for (const HistorySeries& s : set.series) {
        if (!Usable(s) || s.info.nStep != static_cast<unsigned int>(step))
            continue;
        const long long end = s.info.llFirst + (static_cast<long long>(s.info.nSlots) - 1) * step;
        first = any ? std::min(first, s.info.llFirst) : s.info.llFirst;
        last = any ? std::max(last, end) : end;
        any = true;
    }
    if (!any)
        return csv;
    for (long long t = first; t <= last; t += step) {
        csv += FormatIsoUtc(t);
        for (int c = 0; c < LMDATA_FIELDS; ++c) {
            const int field = kColumns[c].field;
            const HistorySeries& s = set.series[field];
            const VORNHISTSLOT* slot = nullptr;
            if (Usable(s) && s.info.nStep == static_cast<unsigned int>(step) &&
                t >= s.info.llFirst) {
                const long long i = (t - s.info.llFirst) / step;
                if (i < static_cast<long long>(s.info.nSlots))
                    slot = &s.slots[static_cast<std::size_t>(i)];
            }
            const auto put = [&](int value) {
                csv += ',';
                if (slot != nullptr && slot->nMean != VORNHIST_GAP)
                    csv += FormatFixed(field, value);
            };
            if (aggregated) {
                put(slot ? slot->nMin : VORNHIST_GAP);
                put(slot ? slot->nMean : VORNHIST_GAP);
                put(slot ? slot->nMax : VORNHIST_GAP);
            } else {
                put(slot ? slot->nMean : VORNHIST_GAP);
            }
        }
        csv += "\r\n";
    }
    return csv;
}
