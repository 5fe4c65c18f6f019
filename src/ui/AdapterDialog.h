#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>

#include "decode/IpAddress.h"

class QTableWidget;

namespace ravelin {

/// Lets the user choose the local IPv4 or IPv6 address that capture listens on. Made once, hidden,
/// when the window starts; it then offers the start-up address (the command line's, else this
/// host's), and later every confirmed choice, through addressChosen.
class AdapterDialog : public QDialog {
    Q_OBJECT

public:
    /// `startAddress` is offered first; without one, this host's address.
    explicit AdapterDialog(QWidget* owner, std::optional<IpAddress> startAddress = {});

    QTableWidget* adapterList() const { return list_; }
    /// Shows the dialog in front, over the middle of its owner.
    void Present();

signals:
    /// The address's text (dotted IPv4, or IPv6); delivered through the event loop, as a posted
    /// message.
    void addressChosen(const QString& address);

public slots:
    void accept() override;  ///< "确定"
    void reject() override;  ///< "取消" and the close box: hide, choose nothing

private:
    void FillAdapterList();
    void PostAddress(const IpAddress& address);

    QTableWidget* list_;
};

}  // namespace ravelin
