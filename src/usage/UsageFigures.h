#pragma once

#include "api/DeviceUsageModel.h"

#include <QDate>
#include <QList>
#include <QPointF>
#include <QString>

namespace Orvex {

// What the main screen shows of a usage answer. Every figure is read with
// MetadataType::numericValue(), so text, integers and doubles count alike and
// unreadable text counts as 0.

// The month's total ("MonthlyUsage"), e.g. "12.3 GB".
QString thisMonthText(const DeviceUsageModel &model);

// The day's hourly totals summed and divided by 24, however many hours the
// answer lists; empty when the answer has no "traffic" at all.
QString hourlyAverageText(const DeviceUsageModel &model);

// One point per daily record: x the day of the month of its "date"
// (yyyy-MM-dd, a local calendar date; records whose date does not parse are
// left out), y its "usage" in MiB. Then zero points follow, numbered on from
// the list's length, until there are as many points as `today`'s month has
// days. No "summary" gives no points at all.
QList<QPointF> chartPoints(const DeviceUsageModel &model, const QDate &today = QDate::currentDate());

// A byte figure as a whole number of bytes: truncated toward zero, clamped to
// the 64-bit range (NaN counts as 0), so an absurd figure from the service
// shows as a large number rather than as garbage.
qint64 clampedByteCount(double bytes);

} // namespace Orvex
