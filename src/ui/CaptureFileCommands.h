#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

#include <functional>
#include <string_view>

#include "base/CheckCall.h"
#include "engine/CaptureController.h"

namespace ravelin {

class LinkController;
class MainToolBar;

/// Save capture and Open capture: the whole capture to a pcapng file with its owners, and a
/// saved one back into the lists.
class CaptureFileCommands : public QObject {
    Q_OBJECT

public:
    CaptureFileCommands(QWidget& window, MainToolBar& toolBar, CaptureController& controller,
                        const LinkController& link, ErrorReporter& reporter,
                        std::function<void(std::string_view)> showActivity);

    /// Writes every listed packet to `path` as pcapng. False after a reported failure.
    bool SaveTo(const QString& path);
    /// Replays the saved capture `path` into emptied lists, its processes in the tree; not
    /// while a link runs, which reads the rows that this frees.
    void Open(const QString& path);

private:
    void OnSave();
    void OnOpen();

    QWidget& window_;
    CaptureController& controller_;
    const LinkController& link_;
    ErrorReporter& reporter_;
    std::function<void(std::string_view)> showActivity_;
};

}  // namespace ravelin
