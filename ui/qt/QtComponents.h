#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "ui/Application.h"
#include "ui/Components.h"
#include "ui/Definitions.h"

namespace ui::qt {

QColor ToQColor(TColor color);

// The form's window: forwards show, hide and close to the form's events.
class FormWidget : public QWidget {
 public:
  FormWidget(TForm& form, TApplication& app);
  void PlaceFrameAt(int left, int top);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void KeepRightEdge();

  TForm& form_;
  TApplication& app_;
  int right_ = -1;  // where the core asked the frame's right edge to be, until the frame exists
  int top_ = 0;
  int placedFrameWidth_ = 0;
};

class QtForm : public TForm {
 public:
  QtForm(const FormDef& def, TApplication& app);
  ~QtForm() override;
  void Show() override;
  void Close() override;
  void SetPosition(int left, int top) override;
  int Left() const override;
  int Top() const override;
  int Width() const override;
  int ScreenWidth() const override;
  QWidget* Widget() const { return widget_; }

 private:
  QPointer<FormWidget> widget_;
};

class QtLabel : public TLabel {
 public:
  QtLabel(QWidget* parent, const LabelDef& def);
  ~QtLabel() override;
  void SetCaption(const std::string& caption) override;
  std::string Caption() const override;
  void SetColor(TColor color) override;
  TColor Color() const override { return color_; }
  QLabel* Widget() const { return label_; }
  // Also writes each new caption to stderr: the status line of a window nobody can see.
  void EchoToStderr() { echo_ = true; }

 private:
  QPointer<QLabel> label_;
  TColor color_ = TColor::BtnFace;
  bool echo_ = false;
};

class QtPanel : public TPanel {
 public:
  QtPanel(QWidget* parent, const PanelDef& def);
  ~QtPanel() override;
  void SetCaption(const std::string& caption) override;
  std::string Caption() const override;
  void SetColor(TColor color) override;
  TColor Color() const override { return color_; }
  QLabel* Widget() const { return panel_; }

 private:
  QPointer<QLabel> panel_;
  TColor color_;
};

class QtEdit : public TEdit {
 public:
  QtEdit(QWidget* parent, const EditDef& def, TApplication& app);
  ~QtEdit() override;
  std::string Text() const override;
  void SetText(const std::string& text) override;
  QLineEdit* Widget() const { return edit_; }

 private:
  QPointer<QLineEdit> edit_;
};

class QtButton : public TButton {
 public:
  QtButton(QWidget* parent, const ButtonDef& def, TApplication& app);
  ~QtButton() override;
  QPushButton* Widget() const { return button_; }

 private:
  QPointer<QPushButton> button_;
};

class QtTimer : public TTimer {
 public:
  QtTimer(QObject* parent, const TimerDef& def, TApplication& app);
  ~QtTimer() override;
  void SetEnabled(bool enabled) override;
  bool Enabled() const override;
  std::uint32_t Interval() const override;

 private:
  QPointer<QTimer> timer_;
};

}  // namespace ui::qt
