#include "ui/QoSyncAddController.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <exception>
#include <utility>

#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/QoPeer.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"
#include "ui/MainThread.h"
#include "ui/NamedImage.h"
#include "ui/QoDeviceSelectController.h"
#include "ui/StatusBar.h"
#include "ui/SyncAddImage.h"
#include "ui/SyncLinkCheck.h"
#include "ui/SyncdirLinker.h"
#include "ui/SystemImage.h"

namespace velbor {
namespace {

constexpr int kPictureSize = 64;
// After success the final text stays this long before the next step.
constexpr int kSuccessPauseMs = 1000;

QString noRemoteText() { return QStringLiteral("请选择远端的同步目录"); }
QString localFolderTitle() { return QStringLiteral("请选择一个本地目录"); }

}  // namespace

QoSyncAddController::QoSyncAddController(QWidget* parent)
    : QDialog(parent),
      remoteTextField_(new QLabel(this)),
      localTextField_(new QLabel(this)),
      remoteImageView_(new SyncAddImage(this)),
      localImageView_(new SyncAddImage(this)),
      okButton_(new QPushButton(QStringLiteral("确定"), this)),
      cancelButton_(new QPushButton(QStringLiteral("取消"), this)),
      statusBar_(new StatusBar(this)),
      deviceIcon_(new QLabel(this)),
      deviceName_(new QLabel(this)),
      alertIcon_(new QLabel(this)),
      alertText_(new QLabel(this)) {
  setObjectName(QStringLiteral("SyncAddView"));
  setWindowTitle(QStringLiteral("添加同步关系"));
  remoteImageView_->setObjectName(QStringLiteral("RemoteButton"));
  localImageView_->setObjectName(QStringLiteral("LocalButton"));
  remoteTextField_->setObjectName(QStringLiteral("remoteTextField"));
  localTextField_->setObjectName(QStringLiteral("localTextField"));
  okButton_->setObjectName(QStringLiteral("okButton"));
  cancelButton_->setObjectName(QStringLiteral("cancelButton"));
  statusBar_->setObjectName(QStringLiteral("statusBar"));
  deviceIcon_->setObjectName(QStringLiteral("deviceIcon"));
  deviceName_->setObjectName(QStringLiteral("deviceName"));
  alertIcon_->setObjectName(QStringLiteral("alertIcon"));
  alertText_->setObjectName(QStringLiteral("alertText"));
  // Folder names, the peer's name and its paths are shown as they are, never read as markup.
  for (QLabel* text : {remoteTextField_, localTextField_, deviceName_, alertText_}) text->setTextFormat(Qt::PlainText);

  for (SyncAddImage* picture : {localImageView_, remoteImageView_}) {
    picture->setFixedSize(kPictureSize + 16, kPictureSize + 16);
    picture->setPixmap(SystemImage::addImage().pixmap(kPictureSize / 2));
    picture->setImageDelegate(this);
  }
  for (QLabel* field : {localTextField_, remoteTextField_}) {
    field->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    field->setWordWrap(true);
    field->setMinimumWidth(200);
  }
  setPathText(localTextField_, localFolderTitle(), false);
  setPathText(remoteTextField_, noRemoteText(), false);
  alertIcon_->setPixmap(SystemImage::stopImage().pixmap(16));
  alertText_->setWordWrap(true);
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QoSyncAddController::ok);
  // Closes without linking, as Escape and the window frame do.
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
  // A closed window listens to the engine no more.
  connect(this, &QDialog::finished, this, &QoSyncAddController::clean);

  auto* arrow = new QLabel(QStringLiteral("⇄"), this);
  QFont arrowFont = arrow->font();
  arrowFont.setPointSizeF(arrowFont.pointSizeF() * 2);
  arrow->setFont(arrowFont);
  arrow->setAlignment(Qt::AlignCenter);

  auto* deviceRow = new QHBoxLayout;
  deviceRow->addStretch(1);
  deviceRow->addWidget(deviceIcon_);
  deviceRow->addWidget(deviceName_);
  deviceRow->addStretch(1);

  // The two paths on one line under their pictures; the remote device under its path.
  auto* sides = new QGridLayout;
  sides->addWidget(localImageView_, 0, 0, Qt::AlignHCenter);
  sides->addWidget(arrow, 0, 1);
  sides->addWidget(remoteImageView_, 0, 2, Qt::AlignHCenter);
  sides->addWidget(localTextField_, 1, 0);
  sides->addWidget(remoteTextField_, 1, 2);
  sides->addLayout(deviceRow, 2, 2);
  sides->setRowStretch(3, 1);

  auto* alertRow = new QHBoxLayout;
  alertRow->addWidget(alertIcon_);
  alertRow->addWidget(alertText_, 1);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(statusBar_, 1);
  bottom->addStretch(0);
  bottom->addWidget(cancelButton_);
  bottom->addWidget(okButton_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(sides, 1);
  layout->addLayout(alertRow);
  layout->addLayout(bottom);
  resize(520, 300);

  statusBar_->hide();
  showAlert(false, {});
  checkCanLink();
}

QoSyncAddController::~QoSyncAddController() { clean(); }

QoDeviceSelectController* QoSyncAddController::deviceSelectorController() const { return deviceSelectorController_; }

void QoSyncAddController::imageAction(SyncAddImage* image) {
  if (image == remoteImageView_) {
    openRemoteTreeSelect();
  } else if (image == localImageView_) {
    openFinder();
  }
}

void QoSyncAddController::openFinder() {
  if (openPanel_) return;
  auto* panel = new QFileDialog(this);
  panel->setObjectName(QStringLiteral("localFolderDialog"));
  panel->setFileMode(QFileDialog::Directory);
  panel->setOption(QFileDialog::ShowDirsOnly, true);
  panel->setOption(QFileDialog::DontUseNativeDialog, true);
  // The dialog's own "Choose", in the language Qt's translation gives it.
  panel->setLabelText(QFileDialog::Accept, QFileDialog::tr("&Choose"));
  panel->setDirectory(QDir::homePath());
  // Folder names are all a folder choice needs (the details view has texts Qt leaves in English).
  panel->setViewMode(QFileDialog::List);
  panel->setWindowModality(Qt::WindowModal);
  const QString title = windowTitle();
  setWindowTitle(localFolderTitle());
  connect(panel, &QFileDialog::finished, this, [this, panel, title](int result) {
    panel->hide();
    openPanel_ = nullptr;
    setWindowTitle(title);
    const QStringList chosen = panel->selectedFiles();
    panel->deleteLater();
    if (result == QDialog::Accepted && !chosen.isEmpty()) localFolderChosen(chosen.first());
  });
  openPanel_ = panel;
  panel->open();
}

void QoSyncAddController::localFolderChosen(const QString& path) {
  // Trees are stored under their real folder (links resolved, no trailing "/"), as the monitor
  // watches them: a folder reached through a link is that folder, here and for the peer.
  QString folder = QFileInfo(path).canonicalFilePath();
  if (folder.isEmpty()) folder = path;  // gone already: the tree handler refuses it on OK
  while (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) folder.chop(1);
  localImageView_->setPixmap(SystemImage::folderImage().pixmap(kPictureSize / 2));
  setPathText(localTextField_, folder, true);
  currentLocalPath_ = folder.toStdString();
  checkCanLink();
}

void QoSyncAddController::openRemoteTreeSelect() {
  if (!deviceSelectorController_) {
    deviceSelectorController_ = new QoDeviceSelectController(this);
    deviceSelectorController_->setDeviceSelectDelegate(this);
  }
  deviceSelectorController_->move(pos() + QPoint(20, 0));
  connect(deviceSelectorController_, &QDialog::finished, this, &QoSyncAddController::windowClosed,
          Qt::UniqueConnection);
  deviceSelectorController_->setWindowModality(Qt::ApplicationModal);
  deviceSelectorController_->show();
  deviceSelectorController_->raise();
  deviceSelectorController_->activateWindow();
}

void QoSyncAddController::windowClosed() {
  if (deviceSelectorController_) {
    disconnect(deviceSelectorController_, &QDialog::finished, this, &QoSyncAddController::windowClosed);
  }
}

void QoSyncAddController::remoteTreeSelectedWithDevice(const std::shared_ptr<QoDevice>& device,
                                                       const std::shared_ptr<pb::TreeInfo>& tree) {
  currentRemoteDevice_ = device;
  currentRemoteTree_ = tree;
  if (!device || !tree) {
    deviceIcon_->clear();
    deviceName_->clear();
    remoteImageView_->setPixmap(SystemImage::addImage().pixmap(kPictureSize / 2));
    setPathText(remoteTextField_, noRemoteText(), false);
  } else {
    deviceIcon_->setPixmap(
        NamedImage::imageNamed(QString::fromStdString(QoPeer::getDeviceIconNameByType(device->type())), 16));
    deviceName_->setText(QString::fromStdString(device->name()));
    remoteImageView_->setPixmap(SystemImage::folderImage().pixmap(32));
    setPathText(remoteTextField_, QString::fromStdString(tree->tree_root()), true);
  }
  checkCanLink();
}

void QoSyncAddController::checkCanLink() {
  const SyncLinkCheck check = SyncLinkCheck::check(currentLocalPath_, currentRemoteDevice_, currentRemoteTree_);
  currentLocalSyncdirCopy_ = check.localCopy();
  if (check.result() == SyncLinkCheck::Result::Incomplete) {
    okButton_->setEnabled(false);
    return;
  }
  showAlert(!check.canLink(), check.alertText());
}

void QoSyncAddController::showAlert(bool alert, const QString& text) {
  okButton_->setEnabled(!alert);
  alertIcon_->setVisible(alert);
  alertText_->setVisible(alert);
  if (!text.isNull()) alertText_->setText(text);
}

void QoSyncAddController::statusBarShow(bool show, bool waiting, const QString& text) {
  statusBar_->setVisible(show);
  if (waiting) {
    statusBar_->startLoading();
  } else {
    statusBar_->stopLoading();
  }
  statusBar_->setStatusText(text);
}

void QoSyncAddController::setEnableSomeView(bool enabled) {
  remoteImageView_->setEnabled(enabled);
  localImageView_->setEnabled(enabled);
  okButton_->setEnabled(enabled);
}

void QoSyncAddController::ok() {
  // The stored trees may have changed since the last choice.
  checkCanLink();
  if (!okButton_->isEnabled()) return;
  setEnableSomeView(false);
  // Closing does not stop a linking under way: nothing to cancel until it has ended.
  cancelButton_->setEnabled(false);
  SyncdirLinker::Choice choice{*currentLocalPath_, currentLocalSyncdirCopy_, currentRemoteDevice_, currentRemoteTree_};
  QPointer<QoSyncAddController> guard(this);
  DispatchQueue::globalQueue()->async([guard, choice = std::move(choice)] {
    SyncdirLinker linker(choice, [guard](bool show, bool waiting, const QString& text) {
      MainThread::sync([&] {
        if (guard) guard->statusBarShow(show, waiting, text);
      });
    });
    bool done = false;
    try {
      done = linker.doLinkSyncdir();
    } catch (const std::exception& e) {
      QoLog("*** create local syncdir copy, {}", e.what());
      MainThread::sync([&] {
        if (guard) guard->statusBarShow(true, false, QStringLiteral("创建同步关系出错！！"));
      });
    }
    MainThread::async([guard, done] {
      if (!guard) return;
      if (done) {
        guard->linkDone();
      } else {
        guard->cancelButton_->setEnabled(true);
        emit guard->linkFinished(false);
      }
    });
  });
}

void QoSyncAddController::linkDone() {
  QTimer::singleShot(kSuccessPauseMs, this, [this] {
    statusBarShow(true, false, QStringLiteral("创建同步成功"));
    QTimer::singleShot(kSuccessPauseMs, this, [this] {
      emit linkFinished(true);
      accept();
    });
  });
}

void QoSyncAddController::clean() {
  if (deviceSelectorController_) deviceSelectorController_->clean();
}

void QoSyncAddController::setPathText(QLabel* field, const QString& text, bool chosen) {
  QPalette colours = field->palette();
  colours.setColor(QPalette::WindowText, palette().color(chosen ? QPalette::WindowText : QPalette::PlaceholderText));
  field->setPalette(colours);
  field->setText(text);
}

}  // namespace velbor
