#include "ui/SpinEdit.h"

#include <algorithm>
#include <climits>

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QWheelEvent>

#include "foundation/Text.h"

namespace vespril {

SpinEdit::SpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  lineEdit()->setText(QStringLiteral("0"));
  connect(lineEdit(), &QLineEdit::textChanged, this, &SpinEdit::Change);
}

int SpinEdit::Value() const {
  int32_t value = 0;
  return TryStrToInt(Text().toLatin1().toStdString(), value) ? value : m_minValue;
}

void SpinEdit::SetValue(int value) { lineEdit()->setText(QString::number(Clamped(value))); }

QString SpinEdit::Text() const { return lineEdit()->text(); }

void SpinEdit::stepBy(int steps) {
  // Computed wide so that stepping past the end of the integer range stops there instead of wrapping.
  SetValue(Clamped(static_cast<long long>(Value()) + steps));
}

int SpinEdit::Clamped(long long value) const {
  if (HasRange()) value = std::clamp<long long>(value, m_minValue, m_maxValue);
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// Every text is acceptable, pasted text included: what may be typed is decided key by key instead, and
// a text that is not a number simply reads as the minimum.
QValidator::State SpinEdit::validate(QString&, int&) const { return QValidator::Acceptable; }

QAbstractSpinBox::StepEnabled SpinEdit::stepEnabled() const {
  return isReadOnly() ? StepNone : (StepUpEnabled | StepDownEnabled);
}

bool SpinEdit::AcceptsCharacter(QChar c) const {
  if (c == u'\r' || c == u'\n') return false;
  if (c.unicode() < 32 || c.unicode() == 127) return true;  // editing and clipboard keys
  if (c >= u'0' && c <= u'9') return true;
  return c == u'+' || c == u'-' || QString(c) == locale().decimalPoint();
}

void SpinEdit::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Up:
      stepBy(1);
      event->accept();
      return;
    case Qt::Key_Down:
      stepBy(-1);
      event->accept();
      return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      // Only single steps exist; the base class would jump by ten.
      event->accept();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      QApplication::beep();
      event->accept();
      return;
    default:
      break;
  }
  // Shortcuts (select all, copy, paste, undo) are control keys, whatever letter they carry.
  const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  const QString text = event->text();
  if (!shortcut && !std::all_of(text.begin(), text.end(), [this](QChar c) { return AcceptsCharacter(c); })) {
    QApplication::beep();
    event->accept();
    return;
  }
  QAbstractSpinBox::keyPressEvent(event);
}

void SpinEdit::focusOutEvent(QFocusEvent* event) {
  const int value = Value();
  if (Clamped(value) != value) SetValue(value);
  QAbstractSpinBox::focusOutEvent(event);
}

// The wheel would change the value under a passing pointer; only the buttons and the arrow keys step.
void SpinEdit::wheelEvent(QWheelEvent* event) { event->ignore(); }

}  // namespace vespril
