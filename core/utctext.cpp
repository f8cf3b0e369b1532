#include "utctext.h"

namespace {

// The civil date of a day counted from 1970-01-01 (proleptic Gregorian), by eras of 400 years.
void civilFromDays(qint64 days, int *year, int *month, int *day)
{
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 monthIndex = (5 * dayOfYear + 2) / 153;
    *day = int(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = int(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = int(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

void digits(char *at, int value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        at[i] = char('0' + value % 10);
        value /= 10;
    }
}

} // namespace

void appendUtcText(QByteArray &out, qint64 utcMs)
{
    constexpr qint64 kDayMs = 86400000;
    qint64 days = utcMs / kDayMs;
    qint64 msOfDay = utcMs % kDayMs;
    if (msOfDay < 0) {
        msOfDay += kDayMs;
        --days;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, &year, &month, &day);
    year = qBound(0, year, 9999);
    char text[25] = "0000-00-00T00:00:00.000Z";
    digits(text, year, 4);
    digits(text + 5, month, 2);
    digits(text + 8, day, 2);
    digits(text + 11, int(msOfDay / 3600000), 2);
    digits(text + 14, int(msOfDay / 60000 % 60), 2);
    digits(text + 17, int(msOfDay / 1000 % 60), 2);
    digits(text + 20, int(msOfDay % 1000), 3);
    out.append(text, 24);
}
