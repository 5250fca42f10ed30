// SpinEdit: an integer edit field with up and down buttons, as the administration window uses it. Its
// text is the truth: the value is read from the text each time, so a typed number takes effect at once
// and text that is not a number reads as the minimum. A range applies only when the minimum and the
// maximum differ. Lives on the GUI thread; its parent widget owns it.
#pragma once

#include <QAbstractSpinBox>
#include <QString>

namespace vespril {

class SpinEdit final : public QAbstractSpinBox {
  Q_OBJECT

 public:
  explicit SpinEdit(QWidget* parent = nullptr);

  int MinValue() const { return m_minValue; }
  int MaxValue() const { return m_maxValue; }
  // Neither setter touches the current text; the range is applied by the next SetValue, step or exit.
  void SetMinValue(int value) { m_minValue = value; }
  void SetMaxValue(int value) { m_maxValue = value; }

  // The integer of the current text, not clamped; MinValue() when the text is not an integer.
  int Value() const;
  // Shows value in decimal, brought into the range when there is one.
  void SetValue(int value);

  QString Text() const;

  void stepBy(int steps) override;

 signals:
  // Every change of the text, typed or set by program.
  void Change();

 protected:
  QValidator::State validate(QString& input, int& pos) const override;
  StepEnabled stepEnabled() const override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  bool HasRange() const { return m_minValue != m_maxValue; }
  int Clamped(long long value) const;
  bool AcceptsCharacter(QChar c) const;

  int m_minValue = 0;
  int m_maxValue = 0;
};

}  // namespace vespril
