#include "ui/MainWindow.h"

#include <QFormLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/NamedImage.h"
#include "ui/QoDeviceController.h"
#include "ui/QoTreeController.h"
#include "ui/SelectableToolbar.h"
#include "ui/SelectableToolbarItem.h"
#include "ui/SettingController.h"

namespace velbor {

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      toolbar_(new SelectableToolbar("mainToolbar", this)),
      settingController_(new SettingController()),
      deviceController_(new QoDeviceController(this)),
      treeController_(new QoTreeController(this)),
      debugTabView_(new QTabWidget(this)) {
  setObjectName("mainWindow");
  setWindowIcon(NamedImage::iconNamed("barLogo"));
  addToolBar(Qt::TopToolBarArea, toolbar_);
  toolbar_->setWindow(this);

  debugTabView_->setObjectName("debugTabView");
  debugTabView_->addTab(settingController_, "设置");
  debugTabView_->addTab(makeAboutTab(), "关于");
  debugTabView_->addTab(makeDebugTab(), "调试");
  debugTabView_->resize(debugTabView_->sizeHint().expandedTo(QSize(560, 420)));
  deviceController_->hide();
  treeController_->hide();
  debugTabView_->hide();

  struct Pane {
    const char* identifier;
    const char* label;
    QStyle::StandardPixmap icon;
    QWidget* view;
    SelectableToolbarItemDelegate* delegate;
  };
  const Pane panes[] = {
      {"setting", "设置", QStyle::SP_FileDialogDetailedView, debugTabView_, settingController_},
      {"deviceController", "设备", QStyle::SP_ComputerIcon, deviceController_, deviceController_},
      {"synconce", "同步", QStyle::SP_BrowserReload, treeController_, treeController_},
  };
  for (const Pane& pane : panes) {
    auto* item = new SelectableToolbarItem(pane.identifier, pane.label, toolbar_);
    item->setIcon(style()->standardIcon(pane.icon));
    item->setLinkedView(pane.view);
    item->setItemDelegate(pane.delegate);
    toolbar_->addSelectableItem(item);
    if (pane.delegate == settingController_) settingController_->setSettingToolBarItem(item);
  }
  toolbar_->setDefaultItemIndex(2);
}

QWidget* MainWindow::makeAboutTab() {
  auto* tab = new QWidget();
  auto* layout = new QVBoxLayout(tab);
  auto* logo = new QLabel(tab);
  logo->setPixmap(NamedImage::imageNamed("barLogo", 64));
  layout->addWidget(logo, 0, Qt::AlignHCenter);
  auto* title = new QLabel("Velbor", tab);
  QFont big = title->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  title->setFont(big);
  layout->addWidget(title, 0, Qt::AlignHCenter);
  layout->addWidget(new QLabel("在局域网内的设备之间同步文件夹", tab), 0, Qt::AlignHCenter);
  aboutButton_ = new QPushButton("关于 Velbor", tab);
  feedbackButton_ = new QPushButton("反馈建议...", tab);
  layout->addWidget(aboutButton_, 0, Qt::AlignHCenter);
  layout->addWidget(feedbackButton_, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  return tab;
}

QWidget* MainWindow::makeDebugTab() {
  auto* tab = new QWidget();
  auto* layout = new QFormLayout(tab);
  showFileDownloadButton_ = new QCheckBox("显示文件下载进度", tab);
  showFileSyncInfoButton_ = new QCheckBox("显示文件同步信息", tab);
  logBonjourAddress_ = new QLineEdit(tab);
  logBonjourAddress_->setReadOnly(true);
  debugButton_ = new QPushButton("打印内部状态", tab);
  broadcastButton_ = new QPushButton("广播", tab);
  offlineButton_ = new QPushButton("下线", tab);
  forceResetButton_ = new QPushButton("强制重置", tab);
  notificationButton_ = new QPushButton("测试通知", tab);
  layout->addRow(showFileDownloadButton_);
  layout->addRow(showFileSyncInfoButton_);
  layout->addRow("日志服务：", logBonjourAddress_);
  for (QPushButton* button : {debugButton_, broadcastButton_, offlineButton_, forceResetButton_, notificationButton_}) {
    layout->addRow(button);
  }
  return tab;
}

}  // namespace velbor
