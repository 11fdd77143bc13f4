#include "ui/SettingController.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QProcess>
#include <QVBoxLayout>

#include <exception>
#include <filesystem>
#include <system_error>
#include <variant>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

constexpr int kMaxPort = 65535;

// The reason of one of our exceptions, the text of any other.
QString reasonOf(const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  return QString::fromStdString(named != nullptr ? named->reason() : std::string(e.what()));
}

QString portText(int port) { return QString::number(port); }

// A field with its status views (spinner, check mark) and an optional trailing widget.
QWidget* fieldRow(AutoSaveTextField* field, QWidget* trailing = nullptr) {
  auto* row = new QWidget();
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  // A field with a trailing button keeps its own width; the others take the row.
  layout->addWidget(field, trailing == nullptr ? 1 : 0);
  layout->addWidget(field->indicator());
  layout->addWidget(field->image());
  if (trailing != nullptr) layout->addWidget(trailing);
  // The status views keep their place while hidden, so the row does not jump.
  for (QWidget* status : {static_cast<QWidget*>(field->indicator()), static_cast<QWidget*>(field->image())}) {
    QSizePolicy policy = status->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    status->setSizePolicy(policy);
  }
  return row;
}

}  // namespace

SettingController::SettingController(QWidget* parent)
    : QWidget(parent),
      token_(new AutoSaveTextField()),
      deviceName_(new AutoSaveTextField()),
      routerPort_(new QLineEdit()),
      publishPort_(new QLineEdit()),
      udpPort_(new AutoSaveTextField()),
      encryptButton_(new QCheckBox("加密传输的数据")),
      showUserNotification_(new QCheckBox("显示桌面通知")),
      syncHiddenFileButton_(new QCheckBox("同步隐藏文件")),
      defaultButton_(new QPushButton("默认")),
      applySave_(new QPushButton("重新启动")),
      warning_(new QLabel()) {
  setObjectName("settingController");
  token_->setObjectName("token");
  token_->setPlaceholderText("在您所有的设备上输入相同的设备标识");
  deviceName_->setObjectName("deviceName");
  udpPort_->setObjectName("udpPort");
  for (AutoSaveTextField* field : {token_, deviceName_, udpPort_}) field->setAutoSaveDelegate(this);
  // Only the UDP port can change while running; the others are bound for the process.
  for (QLineEdit* port : {routerPort_, publishPort_}) port->setReadOnly(true);
  for (QLineEdit* port : {static_cast<QLineEdit*>(udpPort_), routerPort_, publishPort_}) port->setMaximumWidth(90);
  warning_->setObjectName("warning");
  // Failure texts can carry paths and names: never read as markup.
  warning_->setTextFormat(Qt::PlainText);
  QPalette warningColours = warning_->palette();
  warningColours.setColor(QPalette::WindowText, QColor(0xc0, 0x1c, 0x28));
  warning_->setPalette(warningColours);
  warning_->setWordWrap(true);
  warning_->hide();
  applySave_->setToolTip("以新的设置重新启动 Velbor");

  auto* form = new QFormLayout();
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form->addRow("设备标识：", fieldRow(token_));
  form->addRow("设备名称：", fieldRow(deviceName_));
  auto* udpRow = fieldRow(udpPort_, defaultButton_);
  static_cast<QHBoxLayout*>(udpRow->layout())->addStretch(1);
  form->addRow("发现端口（UDP）：", udpRow);
  form->addRow("请求端口：", routerPort_);
  form->addRow("发布端口：", publishPort_);
  form->addRow(encryptButton_);
  form->addRow(showUserNotification_);
  form->addRow(syncHiddenFileButton_);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(applySave_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);
  layout->addLayout(form);
  layout->addWidget(warning_);
  layout->addStretch(1);
  layout->addLayout(buttons);

  // clicked, not toggled: filling the boxes from the settings writes nothing back.
  connect(encryptButton_, &QCheckBox::clicked, this, &SettingController::setDataEncrypt);
  connect(showUserNotification_, &QCheckBox::clicked, this, &SettingController::setShowNotification);
  connect(syncHiddenFileButton_, &QCheckBox::clicked, this, &SettingController::setSyncHiddenFile);
  connect(defaultButton_, &QPushButton::clicked, this, &SettingController::setDefault);
  connect(applySave_, &QPushButton::clicked, this, &SettingController::relaunch);
  resize(560, 420);
}

void SettingController::itemDidClick(SelectableToolbarItem* item) {
  if (item != nullptr && item->itemIdentifier() == "setting") updateView();
}

void SettingController::updateView() {
  const QoConfig& config = QoConfig::sharedQoConfig();
  token_->setText(QString::fromStdString(config.deviceToken()));
  deviceName_->setText(QString::fromStdString(config.deviceName()));
  udpPort_->setText(portText(config.portUdp()));
  routerPort_->setText(portText(config.portRouter()));
  publishPort_->setText(portText(config.portPublisher()));
  encryptButton_->setChecked(config.encryptLevel() != 1);
  showUserNotification_->setChecked(config.showUserNotificaion());
  syncHiddenFileButton_->setChecked(config.syncHiddenFile());
  for (AutoSaveTextField* field : {token_, udpPort_, deviceName_}) field->setStatusHidden();
  check();
}

void SettingController::setDataEncrypt(bool on) {
  try {
    QoConfig::sharedQoConfig().setEncryptLevel(on ? 2 : 1);
  } catch (const std::exception& e) {
    showWarning(reasonOf(e));
  }
}

void SettingController::setShowNotification(bool on) {
  try {
    QoConfig::sharedQoConfig().setShowUserNotificaion(on);
  } catch (const std::exception& e) {
    showWarning(reasonOf(e));
  }
}

void SettingController::setSyncHiddenFile(bool on) {
  try {
    QoConfig::sharedQoConfig().setSyncHiddenFile(on);
  } catch (const std::exception& e) {
    // Kept in memory all the same: the filter follows the value in force.
    showWarning(reasonOf(e));
  }
  QoFile::generateRegexExpress();
}

void SettingController::setDefault() {
  const std::optional<QoConfigValue> value = QoConfig::sharedQoConfig().getDefaultValueByKey("portUdp");
  if (!value || !std::holds_alternative<int64_t>(*value)) return;
  udpPort_->setText(QString::number(std::get<int64_t>(*value)));
  udpPort_->setStatusHidden();
  if (restartUdp()) udpPort_->image()->show();
}

bool SettingController::check() {
  // All three are checked, so the warning names the last bad one.
  const bool router = checkPort(routerPort_);
  const bool udp = checkPort(udpPort_);
  const bool publisher = checkPort(publishPort_);
  canSave_ = router && udp && publisher;
  warning_->setVisible(!canSave_);
  applySave_->setEnabled(canSave_);
  return canSave_;
}

bool SettingController::checkPort(QLineEdit* field) {
  const QString text = field->text();
  bool digits = !text.isEmpty();
  for (QChar c : text) digits = digits && c >= '0' && c <= '9';
  // Peers address this device on a fixed port: 0 (any port) is refused.
  const int port = digits && text.size() <= 5 ? text.toInt() : 0;
  if (port >= 1 && port <= kMaxPort) return true;
  warning_->setText(kPortWarning);
  return false;
}

bool SettingController::checkToken() {
  if (!token_->text().isEmpty()) return true;
  showWarning(kTokenWarning);
  return false;
}

bool SettingController::autoSaveAction(AutoSaveTextField* field) {
  if (field == token_) return saveToken();
  if (field == udpPort_) return restartUdp();
  if (field == deviceName_) return saveName();
  return true;
}

bool SettingController::saveToken() {
  // Discovery is sealed under the token: an empty one would cut this device off.
  if (!checkToken()) return false;
  try {
    QoConfig::sharedQoConfig().setDeviceToken(token_->text().toStdString());
  } catch (const std::exception& e) {
    showWarning(reasonOf(e));
    return false;
  }
  announceLeaving();
  QoDiscovery::sharedQoDiscovery().broadCast();
  check();
  return true;
}

bool SettingController::saveName() {
  const QString name = deviceName_->text();
  if (name.trimmed().isEmpty()) return false;
  try {
    QoConfig::sharedQoConfig().setDeviceName(name.toStdString());
  } catch (const std::exception& e) {
    showWarning(reasonOf(e));
    return false;
  }
  QoDiscovery::sharedQoDiscovery().broadCast();
  return true;
}

void SettingController::announceLeaving() {
  QoDevice::List online = QoDevice::getDeviceRemoteOnline();
  QoDevice::setDevicesOffLine(online);
  QoNotices::post(notice::DeviceOffLine{std::move(online)});
  QoNotices::post(notice::ProcessExit{});
}

bool SettingController::restartUdp() {
  if (!check()) return false;
  announceLeaving();
  QoConfig& config = QoConfig::sharedQoConfig();
  QoDiscovery& discovery = QoDiscovery::sharedQoDiscovery();
  const int oldPort = config.portUdp();
  try {
    config.setPortUdp(udpPort_->text().toInt());
    if (discovery.isRunning()) discovery.restart();
    return true;
  } catch (const std::exception& e) {
    showWarning(reasonOf(e));
  }
  // A port that cannot be stored or bound must not leave discovery deaf: back to the old one.
  try {
    config.setPortUdp(oldPort);
    if (discovery.isRunning()) discovery.restart();
  } catch (const std::exception& e) {
    QoLog("*** udp port {} restored, but rebinding failed, {}", oldPort, e.what());
  }
  return false;
}

void SettingController::showWarning(const QString& text) {
  warning_->setText(text);
  warning_->show();
}

void SettingController::restart() { QApplication::quit(); }

QString SettingController::relaunchProgram() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return QCoreApplication::applicationFilePath();
  return QString::fromStdString(self.string());
}

void SettingController::relaunch() {
  // The new instance waits until this one has let go of its ports (see main).
  if (!QProcess::startDetached(relaunchProgram(), {"--restart"})) {
    showWarning("无法重新启动 Velbor");
    return;
  }
  restart();
}

}  // namespace velbor
