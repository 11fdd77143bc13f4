#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "ui/SpinningIndicator.h"

namespace velbor {

class AutoSaveTextField;

// Saves what an auto-saving field holds; answers whether it was saved.
class AutoSaveTextFieldDelegate {
 public:
  virtual ~AutoSaveTextFieldDelegate() = default;
  virtual bool autoSaveAction(AutoSaveTextField* field) = 0;
};

// A text field that saves itself a moment after the user stops typing in it, with a spinner
// while a save is due (or failed) and a check mark once saved. Each field has its own timer,
// so a change in one field never swallows the save of another.
class AutoSaveTextField : public QLineEdit {
  Q_OBJECT

 public:
  // The pause used while `savingInterval` is 0.
  static constexpr int kDefaultIntervalMs = 1200;

  explicit AutoSaveTextField(QWidget* parent = nullptr);

  float savingInterval() const { return savingInterval_; }
  // Seconds from the last change to the save; 0 means the default pause.
  void setSavingInterval(float seconds) { savingInterval_ = seconds; }
  AutoSaveTextFieldDelegate* autoSaveDelegate() const { return autoSaveDelegate_; }
  void setAutoSaveDelegate(AutoSaveTextFieldDelegate* delegate) { autoSaveDelegate_ = delegate; }
  // The status views; the pane lays them out next to the field.
  SpinningIndicator* indicator() const { return indicator_; }
  QLabel* image() const { return image_; }

  bool isSavePending() const { return saveTimer_.isActive(); }
  // Hides the spinner and the check mark.
  void setStatusHidden();

 private:
  void textDidChange();
  void save();
  void showSpinner(bool shown);

  float savingInterval_ = 0;
  AutoSaveTextFieldDelegate* autoSaveDelegate_ = nullptr;
  SpinningIndicator* indicator_;
  QLabel* image_;
  QTimer saveTimer_;
};

}  // namespace velbor
