#include <QHBoxLayout>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/AutoSaveTextField.h"
#include "ui/SpinningIndicator.h"
#include "ui/StatusBar.h"
#include "ui/UiSpin.h"
#include "ui/WidgetFrames.h"

namespace velbor::test {
namespace {

TEST(BusyIndicatorTest, TheSpinnerTurnsOnlyWhileItAnimatesAndIsShown) {
  QWidget window;
  auto* spinner = new SpinningIndicator(&window);
  window.show();
  EXPECT_EQ(spinner->size(), QSize(16, 16));
  EXPECT_TRUE(staysStill(spinner)) << "a new spinner is at rest";
  const QImage resting = frameOf(spinner);

  spinner->startAnimation();
  EXPECT_TRUE(spinner->isAnimating());
  EXPECT_TRUE(turns(spinner));
  EXPECT_TRUE(turns(spinner)) << "and goes on turning";

  spinner->hide();
  const int angle = spinner->angle();
  QTest::qWait(300);
  EXPECT_EQ(spinner->angle(), angle) << "a hidden spinner does not tick";
  spinner->show();
  EXPECT_TRUE(turns(spinner));

  spinner->stopAnimation();
  EXPECT_FALSE(spinner->isAnimating());
  EXPECT_TRUE(staysStill(spinner));
  EXPECT_EQ(frameOf(spinner), resting);
}

TEST(BusyIndicatorTest, TheStatusLineSpinsWhileLoading) {
  StatusBar bar;
  bar.resize(300, 20);
  bar.show();
  bar.startLoading();
  EXPECT_TRUE(bar.progressIndicator()->isVisible());
  EXPECT_TRUE(turns(bar.progressIndicator()));
  bar.stopLoading();
  EXPECT_FALSE(bar.progressIndicator()->isVisible());
  bar.startLoading();
  EXPECT_TRUE(turns(bar.progressIndicator())) << "and again after a stop";
}

class RefusingSaver : public AutoSaveTextFieldDelegate {
 public:
  bool autoSaveAction(AutoSaveTextField*) override {
    ++saves;
    return accept;
  }
  bool accept = false;
  int saves = 0;
};

TEST(BusyIndicatorTest, AnAutoSavingFieldSpinsUntilItsValueIsSaved) {
  QWidget window;
  auto* layout = new QHBoxLayout(&window);
  auto* field = new AutoSaveTextField(&window);
  layout->addWidget(field);
  layout->addWidget(field->indicator());
  layout->addWidget(field->image());
  RefusingSaver saver;
  field->setAutoSaveDelegate(&saver);
  field->setSavingInterval(0.1f);
  window.show();
  field->setFocus();

  // A save that fails leaves the spinner turning.
  typeText(field, "书房");
  ASSERT_TRUE(spinUntil([&] { return saver.saves == 1; }));
  EXPECT_TRUE(field->indicator()->isVisible());
  EXPECT_TRUE(turns(field->indicator()));

  saver.accept = true;
  typeText(field, "的电脑");
  ASSERT_TRUE(spinUntil([&] { return saver.saves == 2; }));
  EXPECT_FALSE(field->indicator()->isVisible());
  EXPECT_TRUE(field->image()->isVisible());
  EXPECT_FALSE(field->indicator()->isAnimating());
}

}  // namespace
}  // namespace velbor::test
