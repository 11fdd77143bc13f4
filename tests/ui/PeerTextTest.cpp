#include <QLabel>
#include <QTest>
#include <QTreeView>

#include "PairWindowTestBase.h"
#include "PlainTextCheck.h"
#include "QStringPrinter.h"
#include "ui/QoDeviceSelectController.h"
#include "ui/QoSyncAddController.h"

namespace velbor::test {
namespace {

// Names and paths that peers send, and folder names on disk, reach the pairing windows'
// labels; none of them may be read as markup.
class PeerTextTest : public PairWindowTestBase {};

TEST_F(PeerTextTest, TheDeviceSelectionShowsThePeersNameAndTreeAsText) {
  remoteDevice(markupName().toStdString());
  QoDeviceSelectController window;
  window.show();
  QTreeView* view = window.outlineView();
  const QRect rect = view->visualRect(view->model()->index(3, 0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
  ASSERT_EQ(window.deviceTextField()->text(), markupName());
  window.rowSelection(treeInfo("/home/" + markupName().toStdString(), QoUtils::generateUuid()));
  EXPECT_EQ(labelsReadingMarkup(&window, markupName()), QStringList());
  window.clean();
}

TEST_F(PeerTextTest, TheSyncPairWindowShowsFolderDeviceAndTreeAsText) {
  const auto peer = remoteDevice(markupName().toStdString());
  QoSyncAddController window;
  window.show();
  window.localFolderChosen(QString::fromStdString(folder(markupName().toStdString())));
  window.remoteTreeSelectedWithDevice(peer, treeInfo("/srv/" + markupName().toStdString(), QoUtils::generateUuid()));
  ASSERT_EQ(window.deviceName()->text(), markupName());
  EXPECT_EQ(labelsReadingMarkup(&window, markupName()), QStringList());
}

}  // namespace
}  // namespace velbor::test
