#include "ui/ListCommands.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>

#include <cstring>

#include "output/Export.h"
#include "ui/LinkController.h"
#include "ui/PacketListCtrl.h"

namespace ravelin {

namespace {

// X11's scan code of the right Ctrl key; elsewhere every Ctrl key reads as the left one.
constexpr quint32 kRightControlScanCode = 105;

void SetClipboardText(const std::string& text) {
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace

ListCommands::ListCommands(CaptureLists& lists, PacketListCtrl& httpList,
                           PacketListCtrl& packetList, LinkController& link,
                           AddressText boundAddressText, ErrorReporter& reporter, QObject* parent)
    : QObject(parent),
      lists_(lists),
      httpList_(httpList),
      packetList_(packetList),
      link_(link),
      boundAddressText_(std::move(boundAddressText)),
      reporter_(reporter),
      httpMenu_(new QMenu(&httpList)),
      packetMenu_(new QMenu(&packetList)) {
    const QKeySequence copy(Qt::CTRL | Qt::Key_C);
    const QKeySequence save(Qt::CTRL | Qt::Key_S);
    AddCommand(httpList, httpMenu_, "复制URL(Ctrl+C)", copy, [this] { OnCopyUrl(); });
    AddCommand(httpList, httpMenu_, "保存数据到文件(Ctrl+S)", save, [this] { OnSaveMarked(); });
    AddCommand(packetList, packetMenu_, "复制全部(Ctrl+C)", copy, [this] { OnCopyAll(); });
    AddCommand(packetList, packetMenu_, "复制远端IP", {}, [this] { OnCopyRemoteAddress(); });
    AddCommand(packetList, packetMenu_, "复制远端IP:端口", {}, [this] { OnCopyRemoteEndpoint(); });
    AddCommand(packetList, packetMenu_, "保存数据到文件(Ctrl+S)", save,
               [this] { OnSaveSelected(); });
    AddCommand(packetList, packetMenu_, "清除所有标记(灰色项)", {},
               [this] { link_.OnClearMarks(); });
    for (const auto& listMenu :
         {std::pair{&httpList, httpMenu_}, std::pair{&packetList, packetMenu_}}) {
        PacketListCtrl* list = listMenu.first;
        QMenu* menu = listMenu.second;
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list, menu](const QPoint& position) { ShowMenu(*list, menu, position); });
    }
    // The key's release counts wherever the focus has gone meanwhile.
    QCoreApplication::instance()->installEventFilter(this);
}

void ListCommands::AddCommand(PacketListCtrl& list, QMenu* menu, const char* text,
                              const QKeySequence& shortcut, std::function<void()> handler) {
    auto* action = new QAction(QString::fromUtf8(text), this);
    // The shortcut acts only while its list has the focus, and takes the key from the list's
    // own Copy, which would put a single cell on the clipboard.
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WidgetShortcut);
    action->setShortcutVisibleInContextMenu(false);  // the text names the key already
    connect(action, &QAction::triggered, this, [this, handler = std::move(handler)] {
        if (!rightControlDown_) handler();
    });
    list.addAction(action);
    menu->addAction(action);
}

void ListCommands::ShowMenu(PacketListCtrl& list, QMenu* menu, const QPoint& position) {
    if (list.SelectedRows().isEmpty()) return;
    menu->popup(list.viewport()->mapToGlobal(position));
}

bool ListCommands::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Control && key->nativeScanCode() == kRightControlScanCode) {
            rightControlDown_ = event->type() == QEvent::KeyPress;
        }
    }
    return QObject::eventFilter(watched, event);
}

std::optional<StoredRow<PacketRow>> ListCommands::FirstSelectedPacket() {
    const QList<int> rows = packetList_.SelectedRows();
    if (rows.isEmpty()) return std::nullopt;
    std::optional<StoredRow<PacketRow>> found;
    lists_.packets.ReadRow(rows.first(),
                           [&](const StoredRow<PacketRow>& stored) { found = stored; });
    return found;
}

void ListCommands::OnCopyUrl() {
    const QList<int> rows = httpList_.SelectedRows();
    if (rows.isEmpty()) return;
    std::vector<std::string> urls;
    for (const int row : rows) {
        lists_.requests.ReadRow(
            row, [&](const StoredRow<HttpRow>& stored) { urls.emplace_back(stored.row.url); });
    }
    SetClipboardText(JoinUrls(urls));
}

void ListCommands::OnCopyAll() {
    const QList<int> rows = packetList_.SelectedRows();
    if (rows.isEmpty()) return;
    std::string text;
    std::vector<std::uint8_t> payload;
    lists_.ReadPacket(rows.first(), kWholePayload, payload,
                      [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> bytes) {
                          text = CopyAllText(stored, bytes, lists_.addresses);
                      });
    SetClipboardText(text);
}

void ListCommands::OnCopyRemoteAddress() {
    if (const auto row = FirstSelectedPacket()) {
        SetClipboardText(RemoteAddressText(*row, boundAddressText_(), lists_.addresses));
    }
}

void ListCommands::OnCopyRemoteEndpoint() {
    if (const auto row = FirstSelectedPacket()) {
        SetClipboardText(RemoteEndpointText(*row, boundAddressText_(), lists_.addresses));
    }
}

void ListCommands::OnSaveSelected() {
    const QList<int> rows = packetList_.SelectedRows();
    SaveRows(std::vector<int>(rows.begin(), rows.end()));
}

void ListCommands::OnSaveMarked() {
    SaveRows(link_.marks().Rows());
}

void ListCommands::SaveRows(const std::vector<int>& rows) {
    const QString path =
        QFileDialog::getSaveFileName(packetList_.window(), QString(), QStringLiteral("Data.txt"));
    if (path.isEmpty()) return;
    const SaveResult result = SavePayloads(path.toStdString(), lists_, rows);
    const auto call = [&](bool succeeded) {
        return succeeded ? CallResult::Success()
                         : CallResult::Failure(SystemError::FromErrno(result.errorCode));
    };
    if (!CheckCall(call(result.created), "CreateFile 创建文件失败", reporter_)) return;
    CheckCall(call(result.written), "WriteFile 写入文件失败", reporter_);
}

}  // namespace ravelin
