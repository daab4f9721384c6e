#pragma once

#include <QLocale>
#include <QString>

namespace Orvex {

// Byte counts for people, in decimal units (powers of 1000), the way the
// usage figures are shown:
//
//   0            "0 bytes"
//   1            "1 byte"
//   2 ... 999    "512 bytes"
//   kilobytes    no decimals        "12 KB"
//   megabytes    at most 1 decimal  "12.3 MB", "12 MB"
//   gigabytes+   at most 2 decimals "1.23 GB", "4.5 TB"
//
// A value that rounds up to 1000 of its unit moves to the next unit
// ("999999 bytes" is "1 MB", not "1000 KB"). Negative counts keep their sign.
// The decimal separator is the locale's; the units are not translated.
class ByteCountFormatter final
{
public:
    ByteCountFormatter() = delete;

    static QString string(qint64 byteCount, const QLocale &locale = QLocale());
};

} // namespace Orvex
