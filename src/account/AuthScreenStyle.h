#pragma once

class QWidget;

namespace Orvex {

// The look the sign-in, phone and code screens share, keyed by their forms'
// object names: a large title over a grey subtitle, small bold labels
// over the fields (QLabels with the property fieldLabel), orange links
// (backButton, QPushButtons with the property link) and the grey notice.
// The back link gets its text here too.
namespace AuthScreenStyle {
void apply(QWidget *screen);
} // namespace AuthScreenStyle

} // namespace Orvex
