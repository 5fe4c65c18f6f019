#include "ui/AdapterDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "capture/Interfaces.h"
#include "decode/TextForms.h"
#include "ui/QtColours.h"

namespace ravelin {

namespace {

constexpr int kAddressRole = Qt::UserRole;

}  // namespace

AdapterDialog::AdapterDialog(QWidget* owner, std::optional<IpAddress> startAddress)
    : QDialog(owner), list_(new QTableWidget(this)) {
    setWindowTitle(QString::fromUtf8("网卡"));
    list_->setColumnCount(2);
    list_->setHorizontalHeaderLabels({QString::fromUtf8("网卡"), QStringLiteral("IP")});
    list_->setColumnWidth(0, 350);
    // Room for an IPv6 address, a global one with all eight groups written out.
    list_->setColumnWidth(1, list_->fontMetrics().horizontalAdvance(
                                 QStringLiteral("2001:db8:ffff:ffff:ffff:ffff:ffff:ffff")) +
                                 16);
    list_->horizontalHeader()->setSectionsClickable(false);
    list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_->verticalHeader()->hide();
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(true);
    SetBackground(*list_, kBackgroundColour);

    auto* ok = new QPushButton(QString::fromUtf8("确定"), this);
    auto* cancel = new QPushButton(QString::fromUtf8("取消"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &AdapterDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &AdapterDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(buttons);
    resize(list_->columnWidth(0) + list_->columnWidth(1) + 40, 260);

    PostAddress(startAddress ? *startAddress : DefaultCaptureAddress());
    FillAdapterList();
}

void AdapterDialog::PostAddress(const IpAddress& address) {
    const auto text = address.text();
    const QString chosen = QString::fromLatin1(text.view().data(), static_cast<int>(text.size()));
    QMetaObject::invokeMethod(
        this, [this, chosen] { emit addressChosen(chosen); }, Qt::QueuedConnection);
}

void AdapterDialog::FillAdapterList() {
    const auto adapters = ListAdapters();
    list_->setRowCount(static_cast<int>(adapters.size()));
    for (int row = 0; row < static_cast<int>(adapters.size()); ++row) {
        const Adapter& adapter = adapters[static_cast<std::size_t>(row)];
        auto* name = new QTableWidgetItem(QString::fromStdString(adapter.label));
        const auto addressText = adapter.address.text();
        const QString shown =
            QString::fromLatin1(addressText.view().data(), static_cast<int>(addressText.size()));
        name->setData(kAddressRole, shown);
        auto* address = new QTableWidgetItem(shown);
        for (QTableWidgetItem* item : {name, address}) {
            item->setBackground(ToQColor(kBackgroundColour));
        }
        list_->setItem(row, 0, name);
        list_->setItem(row, 1, address);
    }
}

void AdapterDialog::accept() {
    const auto selected = list_->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        // Not modal to the program: the dialog stays open for a choice.
        auto* hint = new QMessageBox(QMessageBox::NoIcon, QApplication::applicationName(),
                                     QString::fromUtf8("请选择一个网卡"), QMessageBox::Ok, this);
        hint->setAttribute(Qt::WA_DeleteOnClose);
        hint->open();
        return;
    }
    const QTableWidgetItem* item = list_->item(selected.first().row(), 0);
    if (const auto address = IpAddress::Parse(item->data(kAddressRole).toString().toStdString())) {
        PostAddress(*address);
    }
    hide();
}

void AdapterDialog::reject() {
    hide();
}

void AdapterDialog::Present() {
    show();
    if (const QWidget* owner = parentWidget()) {
        move(owner->geometry().center() - rect().center());
    }
    raise();
    activateWindow();
}

}  // namespace ravelin
