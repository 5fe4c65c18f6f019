#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>

class QTableWidget;

namespace ravelin {

/// Lets the user choose the local IPv4 address that capture listens on. Made once, hidden, when
/// the window starts; it then offers the start-up address (the command line's, else this
/// host's), and later every confirmed choice, through addressChosen.
class AdapterDialog : public QDialog {
    Q_OBJECT

public:
    /// `startAddress` (network byte order) is offered first; without one, this host's address.
    explicit AdapterDialog(QWidget* owner, std::optional<std::uint32_t> startAddress = {});

    QTableWidget* adapterList() const { return list_; }
    /// Shows the dialog in front, over the middle of its owner.
    void Present();

signals:
    /// An address in network byte order; delivered through the event loop, as a posted message.
    void addressChosen(quint32 address);

public slots:
    void accept() override;  ///< "确定"
    void reject() override;  ///< "取消" and the close box: hide, choose nothing

private:
    void FillAdapterList();
    void PostAddress(std::uint32_t address);

    QTableWidget* list_;
};

}  // namespace ravelin
