#include "ui/QoRemoteTreeViewController.h"

#include <QListWidget>
#include <QVBoxLayout>

#include <utility>

#include "core/daemon/client/QoClient.h"
#include "core/entity/QoDevice.h"
#include "core/proto/QoPbMessageCode.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"
#include "ui/PendingReplies.h"
#include "ui/QoRemoteTreeAddViewController.h"
#include "ui/QoRemoteTreeViewDelegate.h"
#include "ui/SystemImage.h"

namespace velbor {
namespace {

const QString kTreeShow = QStringLiteral("TreeShowRequest");
const QString kTreeAdd = QStringLiteral("TreeAddRequest");

}  // namespace

QoRemoteTreeViewController::QoRemoteTreeViewController(QWidget* parent)
    : QWidget(parent),
      tableView_(new QListWidget(this)),
      client_(std::make_shared<QoClient>()),
      pending_(new PendingReplies([this](const QString&) { showNoAnswer(); }, this)),
      observers_(this) {
  setObjectName(QStringLiteral("RemoteTreeView"));
  tableView_->setObjectName(QStringLiteral("remoteTreeTable"));
  tableView_->setSelectionMode(QAbstractItemView::SingleSelection);
  tableView_->setIconSize(QSize(16, 16));
  tableView_->setUniformItemSizes(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(tableView_);
  connect(tableView_, &QListWidget::itemSelectionChanged, this,
          &QoRemoteTreeViewController::tableViewSelectionIsChanging);

  observers_.observe<notice::TreeShowRequest>(
      [this](const notice::TreeShowRequest& n) { handleTreeShowNotifaction(n); });
  observers_.observe<notice::TreeAddRequest>([this](const notice::TreeAddRequest& n) { handleTreeAddNotifaction(n); });
}

QoRemoteTreeViewController::~QoRemoteTreeViewController() { clean(); }

QoRemoteTreeAddViewController* QoRemoteTreeViewController::treeAddViewController() const {
  return treeAddViewController_;
}

void QoRemoteTreeViewController::changeDevice(std::shared_ptr<QoDevice> device) {
  device_ = std::move(device);
  client_->changeServerDevice(device_);
  // Replies still on their way belong to the device listed before.
  pending_->clear();
  selectedSyncdirCopyPath_.reset();
  updateItems({});
  requestTrees();
}

void QoRemoteTreeViewController::requestTrees() {
  if (!device_) return;
  pending_->begin(kTreeShow);
  QoClient::sendTreeShowRequestTo(device_, QoClient::kOptionAsync);
}

QoRemoteTreeViewController::Row QoRemoteTreeViewController::firstRow() const {
  const QString name = device_ ? QString::fromStdString(device_->name()) : QString();
  return Row{QStringLiteral("fr"), SystemImage::addImage(), QStringLiteral("在“%1”上创建新的同步目录").arg(name),
             nullptr};
}

void QoRemoteTreeViewController::updateItems(const std::vector<Row>& rows) {
  items_.clear();
  items_.push_back(firstRow());
  items_.insert(items_.end(), rows.begin(), rows.end());

  // Reloading is no choice of the user's.
  updating_ = true;
  tableView_->clear();
  for (const Row& row : items_) {
    auto* item = new QListWidgetItem(row.image, row.text, tableView_);
    item->setForeground(palette().color(row.tag == QLatin1String("fr") ? QPalette::PlaceholderText : QPalette::Text));
  }
  updating_ = false;
  setSyncdirCopyRowSelected();
}

void QoRemoteTreeViewController::setSyncdirCopyRowSelected() {
  if (!selectedSyncdirCopyPath_) return;
  const QString path = *selectedSyncdirCopyPath_;
  selectedSyncdirCopyPath_.reset();
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].text != path) continue;
    // As if the user had clicked it: the selection change tells the delegate.
    tableView_->setCurrentRow(static_cast<int>(i), QItemSelectionModel::ClearAndSelect);
    return;
  }
}

bool QoRemoteTreeViewController::isCurrentDevice(const std::shared_ptr<QoDevice>& from,
                                                 const std::shared_ptr<QoMessage>& reply) const {
  if (!device_ || !from || from->uuid() != device_->uuid()) return false;
  return !reply->srcDevice() || reply->srcDevice()->uuid() == device_->uuid();
}

void QoRemoteTreeViewController::handleTreeShowNotifaction(const notice::TreeShowRequest& notice) {
  if (!notice.reply || !isCurrentDevice(notice.device, notice.reply) || !pending_->take(kTreeShow)) return;
  const QoMessage& reply = *notice.reply;
  std::vector<Row> rows;
  try {
    if (reply.code() != pb::MsgCodeTreeShowResponse) {
      const auto error = reply.pbBodyAs<pb::MsgError>();
      const std::string text = error ? getErrorString(*error).value_or("") : std::string();
      QoLog("*** remote tree view handle tree show failed, {}:{}", text, error ? error->errstr() : std::string());
      rows.push_back(Row{QStringLiteral("er"), SystemImage::stopImage(), QString::fromStdString(text), nullptr});
    } else if (const auto response = reply.pbBodyAs<pb::MsgTreeShowResponse>()) {
      // One icon for every row: loading it is slow, and a device may list many trees.
      const QIcon folder = SystemImage::folderImage();
      for (const pb::TreeInfo& tree : response->trees()) {
        rows.push_back(Row{QStringLiteral("or"), folder, QString::fromStdString(tree.tree_root()),
                           std::make_shared<pb::TreeInfo>(tree)});
      }
    }
  } catch (const std::exception& e) {
    QoLog("*** notifaction tree show failed, {}", e.what());
  }
  updateItems(rows);
}

void QoRemoteTreeViewController::handleTreeAddNotifaction(const notice::TreeAddRequest& notice) {
  if (!notice.reply || !isCurrentDevice(notice.device, notice.reply) || !pending_->take(kTreeAdd)) return;
  if (notice.reply->code() == pb::MsgCodeTreeAddResponse) {
    requestTrees();
    return;
  }
  // A refused folder leaves the list as it is.
  selectedSyncdirCopyPath_.reset();
}

void QoRemoteTreeViewController::showNoAnswer() {
  std::vector<Row> rows;
  for (const Row& row : items_) {
    if (row.tag == QLatin1String("or")) rows.push_back(row);
  }
  rows.push_back(Row{QStringLiteral("er"), SystemImage::stopImage(), PendingReplies::timeoutText(), nullptr});
  selectedSyncdirCopyPath_.reset();
  updateItems(rows);
}

void QoRemoteTreeViewController::tableViewSelectionIsChanging() {
  if (updating_) return;
  const QList<QListWidgetItem*> selected = tableView_->selectedItems();
  const int r = selected.isEmpty() ? -1 : tableView_->row(selected.first());
  if (r < 0 || r >= static_cast<int>(items_.size())) {
    if (remoteTreeViewDelegate_ != nullptr) remoteTreeViewDelegate_->rowSelection(nullptr);
    return;
  }
  const Row& row = items_[static_cast<size_t>(r)];
  if (row.tag == QLatin1String("or")) {
    if (remoteTreeViewDelegate_ != nullptr && row.userInfo) remoteTreeViewDelegate_->rowSelection(row.userInfo);
  } else if (row.tag == QLatin1String("fr")) {
    if (remoteTreeViewDelegate_ != nullptr) remoteTreeViewDelegate_->rowSelection(nullptr);
    openTreeAddView();
  }
}

void QoRemoteTreeViewController::openTreeAddView() {
  if (!device_) return;
  if (!treeAddViewController_) {
    treeAddViewController_ = new QoRemoteTreeAddViewController(client_, window());
    treeAddViewController_->setRemoteTreeAddViewDelegate(this);
  }
  treeAddViewController_->requestRoots();
  connect(treeAddViewController_, &QDialog::finished, this, &QoRemoteTreeViewController::treeAddViewClosed,
          Qt::UniqueConnection);
  treeAddViewController_->setWindowModality(Qt::ApplicationModal);
  treeAddViewController_->show();
  treeAddViewController_->raise();
  treeAddViewController_->activateWindow();
}

void QoRemoteTreeViewController::treeAddViewClosed() {
  QPointer<QoRemoteTreeAddViewController> browser = treeAddViewController_;
  treeAddViewController_ = nullptr;
  if (!browser) return;
  disconnect(browser, &QDialog::finished, this, &QoRemoteTreeViewController::treeAddViewClosed);
  browser->clean();
  tableView_->clearSelection();
  browser->close();
  browser->deleteLater();
}

void QoRemoteTreeViewController::remoteTreeAddButtonOk(const QString& path) {
  if (path.isEmpty()) return;
  client_->sendTreeAddRequest(path.toStdString());
  selectedSyncdirCopyPath_ = path;
  pending_->begin(kTreeAdd);
}

void QoRemoteTreeViewController::clean() {
  if (treeAddViewController_) {
    disconnect(treeAddViewController_, &QDialog::finished, this, &QoRemoteTreeViewController::treeAddViewClosed);
    treeAddViewController_->clean();
  }
  observers_.removeAll();
  pending_->clear();
}

}  // namespace velbor
