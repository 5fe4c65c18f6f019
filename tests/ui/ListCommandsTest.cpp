#include "ui/ListCommands.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <sstream>

#include "output/Export.h"
#include "support/RecordingHost.h"
#include "support/TempDir.h"
#include "support/qt/GuiTest.h"
#include "support/qt/ListsWindow.h"
#include "ui/LinkController.h"

namespace ravelin {
namespace {

// Answers the next save dialog that opens with `path`.
void AnswerNextSaveDialog(const std::string& path) {
    QTimer::singleShot(0, [=] {
        QTRY_VERIFY_WITH_TIMEOUT(
            qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr,
            test::kTryTimeout);
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        dialog->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(dialog)->accept();
    });
}

// Presses or releases the right Ctrl key (X11's scan code 105) in `widget`.
void RightControl(QWidget* widget, QEvent::Type type) {
    QKeyEvent event(type, Qt::Key_Control, Qt::ControlModifier, 105, 0, 0);
    QApplication::sendEvent(widget, &event);
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

}  // namespace

class ListCommandsTest : public QObject {
    Q_OBJECT

private:
    // The window's commands over the test lists, listening on 10.0.0.2.
    struct Commands {
        explicit Commands(test::ListsWindow& lists)
            : link(lists.lists, *lists.httpList, *lists.packetList,
                   [this](std::string_view text) { host.status = std::string(text); }),
              commands(
                  lists.lists, *lists.httpList, *lists.packetList, link,
                  [] { return std::string("10.0.0.2"); }, host) {
            connect(lists.httpList, &QAbstractItemView::clicked, &link,
                    &LinkController::OnHttpListClick);
        }
        test::RecordingHost host;
        LinkController link;
        ListCommands commands;
    };

private slots:
    void ctrlCCopiesTheCommandsTextOnlyWithTheLeftCtrlKey() {
        test::ListsWindow lists;
        Commands commands(lists);
        QVERIFY(lists.Show());
        QClipboard* clipboard = QGuiApplication::clipboard();

        test::ClickRow(lists.packetList, 3);
        QTest::keyClick(lists.packetList, Qt::Key_C, Qt::ControlModifier);
        // Row 3's payload "bo\0dy", read back from the spool: text to the zero byte, then hex.
        const QString expected = clipboard->text();
        QVERIFY(expected.startsWith(QStringLiteral("Time:")));
        QVERIFY(expected.endsWith(QStringLiteral("\r\nbo\r\n\r\n62 6F 00 64 79 ")));

        lists.httpList->selectAll();
        lists.httpList->setFocus();
        QTest::keyClick(lists.httpList, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), QStringLiteral("http://h/a\r\nhttp://h/b"));

        // The right Ctrl key copies nothing, nor does the list copy a cell of its own; it counts
        // as up again wherever it is released.
        lists.packetList->setFocus();
        RightControl(lists.packetList, QEvent::KeyPress);
        QTest::keyClick(lists.packetList, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), QStringLiteral("http://h/a\r\nhttp://h/b"));
        RightControl(lists.httpList, QEvent::KeyRelease);
        QTest::keyClick(lists.packetList, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), expected);
    }

    void theMenusShowTheListsOwnActions() {
        test::ListsWindow lists;
        Commands commands(lists);
        const auto texts = [](const QList<QAction*>& actions) {
            QStringList texts;
            for (const QAction* action : actions) texts.append(action->text());
            return texts;
        };
        QCOMPARE(texts(commands.commands.httpMenu()->actions()),
                 (QStringList{"复制URL(Ctrl+C)", "保存数据到文件(Ctrl+S)"}));
        QCOMPARE(texts(commands.commands.packetMenu()->actions()),
                 (QStringList{"复制全部(Ctrl+C)", "复制远端IP", "复制远端IP:端口",
                              "保存数据到文件(Ctrl+S)", "清除所有标记(灰色项)"}));
        QCOMPARE(lists.httpList->actions(), commands.commands.httpMenu()->actions());
        QCOMPARE(lists.packetList->actions(), commands.commands.packetMenu()->actions());

        // The remote side of a received packet is its source.
        lists.packetList->selectRow(2);
        lists.packetList->actions().at(1)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("10.0.0.9"));
        lists.packetList->actions().at(2)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("10.0.0.9:80"));
    }

    void ctrlSSavesTheSelectedRowsOrWhatTheLinkMarked() {
        test::ListsWindow lists;
        Commands commands(lists);
        QVERIFY(lists.Show());
        const test::TempDir directory;
        const std::string selected = (directory.path() / "selected.txt").string();
        const std::string marked = (directory.path() / "marked.txt").string();

        test::ClickRow(lists.packetList, 1);
        test::ClickRow(lists.packetList, 3, Qt::ControlModifier);
        AnswerNextSaveDialog(selected);
        QTest::keyClick(lists.packetList, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(ReadAll(selected), std::string("GET /a HTTP/1.1\r\n\r\nbo\0dy", 24));

        // The HTTP list saves the rows of its last link.
        QVERIFY(lists.Show());  // the dialog had the keyboard
        // The keyboard stays where the user clicked while the link runs.
        test::ClickRow(lists.httpList, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!commands.link.linking(), test::kTryTimeout);
        QCOMPARE(QApplication::focusWidget(), lists.httpList);
        AnswerNextSaveDialog(marked);
        QTest::keyClick(lists.httpList, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(ReadAll(marked),
                 std::string("GET /a HTTP/1.1\r\n\r\nHTTP/1.1 200 OK\r\n\r\nbo\0dy", 43));
        QVERIFY(commands.host.Errors().empty());
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(ListCommandsTest)
#include "ListCommandsTest.moc"
