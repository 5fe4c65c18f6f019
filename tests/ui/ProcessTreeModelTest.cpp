#include "ui/ProcessTreeModel.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QHeaderView>
#include <QIcon>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"
#include "support/qt/GuiTest.h"
#include "ui/ProcessTreeCtrl.h"

namespace ravelin {

class ProcessTreeModelTest : public QObject {
    Q_OBJECT

private:
    test::FakeProcessSource processes_;
    test::FakeSocketTable sockets_;
    std::unique_ptr<ProcessTree> tree_;
    std::unique_ptr<ProcessTreeModel> model_;
    std::unique_ptr<QAbstractItemModelTester> tester_;

    QModelIndex Root() const { return model_->index(0, 0); }
    QModelIndex Child(int row) const { return model_->index(row, 0, Root()); }

    /// The row of a process's item, or -1.
    int RowOf(int pid) const {
        for (int row = 0; row < model_->rowCount(Root()); ++row) {
            if (Child(row).data(ProcessTreeModel::kPidRole).toInt() == pid) return row;
        }
        return -1;
    }
    QModelIndex ItemOf(int pid) const { return Child(RowOf(pid)); }

    static bool Checked(const QModelIndex& index) {
        return index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    }
    bool Click(const QModelIndex& index) {
        return model_->setData(index, Checked(index) ? Qt::Unchecked : Qt::Checked,
                               Qt::CheckStateRole);
    }
    QStringList Texts() const {
        QStringList texts;
        for (int row = 0; row < model_->rowCount(Root()); ++row) {
            texts << Child(row).data().toString();
        }
        return texts;
    }

private slots:
    void init() {
        processes_.AddProcess(1, "systemd");
        processes_.AddProcess(300, "sshd");
        processes_.AddProcess(4000, "bash");
        processes_.AddProcess(5000, "curl");
        processes_.SetImagePath(5000, "/usr/bin/curl");
        processes_.SetSocketInodes(5000, {77});
        sockets_.SetTcp({test::FakeSocketTable::Row(77)});
        processes_.SetSystemProcess(300);
        tree_ = std::make_unique<ProcessTree>(processes_, sockets_);
        tree_->Build();
        model_ = std::make_unique<ProcessTreeModel>(*tree_);
        tester_ = std::make_unique<QAbstractItemModelTester>(
            model_.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup() {
        tester_.reset();
        model_.reset();
        tree_.reset();
        for (int pid : processes_.Pids()) processes_.RemoveProcess(pid);
    }

    void showsTheRootAndTheProcessesNewestFirst() {
        QCOMPARE(model_->rowCount(), 1);
        QCOMPARE(model_->columnCount(), 5);
        QCOMPARE(Root().data().toString(), QStringLiteral("计算机"));
        QVERIFY(!model_->parent(Root()).isValid());
        QCOMPARE(Texts(), (QStringList{"[5000]curl", "[4000]bash", "[300]sshd", "[1]systemd"}));
        QCOMPARE(model_->parent(Child(2)), Root());
        QCOMPARE(model_->rowCount(Child(0)), 0);
        QVERIFY(!model_->index(4, 0, Root()).isValid());
        QVERIFY(!model_->index(1, 0).isValid());
        QCOMPARE(model_->NodeAt(ItemOf(300)), tree_->FindProcessNode(300));
        QCOMPARE(model_->NodeAt(Root()), std::optional(ProcessTree::kRootNode));

        const Qt::ItemFlags flags = model_->flags(Child(0));
        QVERIFY(flags.testFlag(Qt::ItemIsUserCheckable));
        QVERIFY(flags.testFlag(Qt::ItemIsEnabled));
        QVERIFY(flags.testFlag(Qt::ItemIsSelectable));
        QVERIFY(model_->flags(Root()).testFlag(Qt::ItemIsUserCheckable));
    }

    void textColours() {
        const QColor blue(0, 0, 255);
        const QColor grey(138, 138, 138);
        QCOMPARE(Root().data(Qt::ForegroundRole).value<QColor>(), blue);
        QCOMPARE(ItemOf(1).data(Qt::ForegroundRole).value<QColor>(), blue);     // pid <= 4
        QCOMPARE(ItemOf(300).data(Qt::ForegroundRole).value<QColor>(), blue);   // system
        QCOMPARE(ItemOf(4000).data(Qt::ForegroundRole).value<QColor>(), grey);  // no socket
        QVERIFY(!ItemOf(5000).data(Qt::ForegroundRole).isValid());  // the default colour
    }

    void everyItemHasAnIcon() {
        for (const QModelIndex& index : {Root(), ItemOf(1), ItemOf(5000)}) {
            QVERIFY(!index.data(Qt::DecorationRole).value<QIcon>().isNull());
        }
    }

    void uncheckingTheLastCheckedProcessUnchecksTheRoot() {
        QVERIFY(Checked(Root()));
        QSignalSpy changed(model_.get(), &QAbstractItemModel::dataChanged);
        for (int pid : {1, 300, 4000}) {
            QVERIFY(Click(ItemOf(pid)));
            QVERIFY(!Checked(ItemOf(pid)));
            QVERIFY(Checked(Root()));
        }
        QCOMPARE(changed.count(), 3);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), ItemOf(1));

        QVERIFY(Click(ItemOf(5000)));
        QVERIFY(!Checked(ItemOf(5000)));
        QVERIFY(!Checked(Root()));
        QVERIFY(!tree_->IsChecked(ProcessTree::kRootNode));

        QVERIFY(Click(ItemOf(300)));  // checking one leaves the root as it is
        QVERIFY(Checked(ItemOf(300)));
        QVERIFY(!Checked(Root()));
    }

    void rootClickSetsEveryProcess() {
        QVERIFY(Click(ItemOf(4000)));
        QVERIFY(Click(Root()));  // checked → unchecked, and so every process
        QVERIFY(!Checked(Root()));
        for (int row = 0; row < 4; ++row) QVERIFY(!Checked(Child(row)));

        QSignalSpy changed(model_.get(), &QAbstractItemModel::dataChanged);
        QVERIFY(Click(Root()));
        QVERIFY(Checked(Root()));
        for (int row = 0; row < 4; ++row) QVERIFY(Checked(Child(row)));
        QVERIFY(tree_->allProcessesChecked());
        // The root and one run of all four processes.
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(1).at(0).toModelIndex(), Child(0));
        QCOMPARE(changed.at(1).at(1).toModelIndex(), Child(3));
    }

    void askingForTheStateAnItemHasChangesNothing() {
        const std::uint64_t revision = tree_->revision();
        QVERIFY(!model_->setData(ItemOf(300), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(Checked(ItemOf(300)));
        QCOMPARE(tree_->revision(), revision);
        QVERIFY(!model_->setData(ItemOf(300), Qt::Unchecked, Qt::DisplayRole));
        QVERIFY(Checked(ItemOf(300)));
    }

    void processesComeAndGoAsRowsWithoutAReset() {
        QSignalSpy inserted(model_.get(), &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(model_.get(), &QAbstractItemModel::rowsRemoved);
        QSignalSpy reset(model_.get(), &QAbstractItemModel::modelReset);

        processes_.RemoveProcess(4000);
        processes_.RemoveProcess(300);
        processes_.AddProcess(6000, "nginx");
        processes_.AddProcess(6001, "nginx");
        tree_->RefreshProcessTree();
        QCOMPARE(Texts().size(), 4);  // nothing shown changes before the model's refresh
        model_->Refresh();

        QCOMPARE(Texts(), (QStringList{"[6001]nginx", "[6000]nginx", "[5000]curl", "[1]systemd"}));
        QCOMPARE(reset.count(), 0);
        // sshd and bash were neighbours (rows 1 and 2): one removal; the two new ones: one
        // insertion at the top.
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toModelIndex(), Root());
        QCOMPARE(removed.at(0).at(1).toInt(), 1);
        QCOMPARE(removed.at(0).at(2).toInt(), 2);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.at(0).at(0).toModelIndex(), Root());
        QCOMPARE(inserted.at(0).at(1).toInt(), 0);
        QCOMPARE(inserted.at(0).at(2).toInt(), 1);
        QVERIFY(Checked(ItemOf(6000)));  // new processes come checked

        // Removals apart from each other.
        processes_.RemoveProcess(6001);
        processes_.RemoveProcess(1);
        tree_->RefreshProcessTree();
        model_->Refresh();
        QCOMPARE(Texts(), (QStringList{"[6000]nginx", "[5000]curl"}));
        QCOMPARE(removed.count(), 3);
        QCOMPARE(reset.count(), 0);
    }

    void clickOnAnEndedProcessRemovesItsRow() {
        const QModelIndex stale = ItemOf(4000);
        processes_.RemoveProcess(4000);
        tree_->RefreshProcessTree();  // the model has not heard yet
        QVERIFY(!model_->setData(stale, Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(RowOf(4000), -1);
        QCOMPARE(model_->rowCount(Root()), 3);
        QVERIFY(Checked(Root()));
    }

    void trafficColumnsSortByAHeadingClick() {
        using namespace std::chrono_literals;
        ProcessCounters counters([] { return ProcessCounters::Clock::time_point(100s); });
        TrafficTally tally;
        tally.Count(4000, "bash", true, 3000);
        tally.Count(4000, "bash", false, 100);
        tally.Count(300, "sshd", true, 100);
        tally.Count(300, "sshd", false, 5 << 20);
        tally.Count(-1, "", false, 60);
        counters.Merge(tally);
        model_->SetCounters(&counters);

        ProcessTreeCtrl view;
        view.SetTreeModel(model_.get());
        view.resize(700, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view, test::kTryTimeout));
        QVERIFY(!view.header()->isHidden());
        QCOMPARE(view.header()->count(), 5);
        QStringList headings;
        for (int column = 0; column < 5; ++column) {
            headings << model_->headerData(column, Qt::Horizontal).toString();
        }
        QCOMPARE(headings, (QStringList{"进程", "发送速率", "接收速率", "已发送", "已接收"}));
        const auto cell = [&](int pid, int column) {
            const QModelIndex item = pid < 0 ? Root() : ItemOf(pid);
            return item.siblingAtColumn(column).data().toString();
        };
        QCOMPARE(cell(4000, 1), QStringLiteral("1.5 KiB/s"));  // 3000 bytes over two seconds
        QCOMPARE(cell(4000, 2), QStringLiteral("50 B/s"));
        QCOMPARE(cell(4000, 3), QStringLiteral("2.9 KiB"));
        QCOMPARE(cell(300, 4), QStringLiteral("5.0 MiB"));
        QCOMPARE(cell(5000, 3), QStringLiteral("0 B"));
        QCOMPARE(cell(-1, 4), QStringLiteral("60 B"));  // the root: traffic without an owner
        QCOMPARE(cell(4000, 0), QStringLiteral("[4000]bash"));

        const auto clickHeading = [&](int column) {
            QHeaderView* header = view.header();
            const QPoint at(
                header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        };
        // Largest first; processes without traffic keep the tree's order among themselves.
        clickHeading(1);
        QCOMPARE(Texts(), (QStringList{"[4000]bash", "[300]sshd", "[5000]curl", "[1]systemd"}));
        clickHeading(4);
        QCOMPARE(Texts(), (QStringList{"[300]sshd", "[4000]bash", "[5000]curl", "[1]systemd"}));
        QCOMPARE(view.header()->sortIndicatorSection(), 4);
        QCOMPARE(view.header()->sortIndicatorOrder(), Qt::DescendingOrder);
        clickHeading(4);  // again: smallest first
        QCOMPARE(Texts(), (QStringList{"[5000]curl", "[1]systemd", "[4000]bash", "[300]sshd"}));
        clickHeading(4);
        // A check box clicked in sorted rows belongs to the process shown there.
        QVERIFY(Click(Child(0)));
        QVERIFY(!tree_->IsChecked(*tree_->FindProcessNode(300)));
        QVERIFY(tree_->IsChecked(*tree_->FindProcessNode(4000)));

        // A refresh keeps the order, with new processes and new counts sorted in.
        processes_.AddProcess(6000, "wget");
        tally.Count(6000, "wget", false, 1000);
        counters.Merge(tally);
        tree_->RefreshProcessTree();
        model_->Refresh();
        QCOMPARE(Texts(), (QStringList{"[300]sshd", "[6000]wget", "[4000]bash", "[5000]curl",
                                       "[1]systemd"}));
        QCOMPARE(cell(6000, 4), QStringLiteral("1000 B"));

        // The name heading brings back the tree's order, newest first.
        clickHeading(0);
        QCOMPARE(Texts(), (QStringList{"[6000]wget", "[5000]curl", "[4000]bash", "[300]sshd",
                                       "[1]systemd"}));
        counters.Reset();
        model_->Refresh();
        QCOMPARE(cell(300, 4), QStringLiteral("0 B"));
        QCOMPARE(cell(-1, 4), QStringLiteral("0 B"));
        model_->SetCounters(nullptr);
    }

    void refreshWithoutChangeSaysNothing() {
        QSignalSpy changed(model_.get(), &QAbstractItemModel::dataChanged);
        QSignalSpy inserted(model_.get(), &QAbstractItemModel::rowsInserted);
        tree_->RefreshProcessTree();
        model_->Refresh();
        QCOMPARE(changed.count(), 0);
        QCOMPARE(inserted.count(), 0);
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(ProcessTreeModelTest)
#include "ProcessTreeModelTest.moc"
