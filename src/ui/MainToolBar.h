#pragma once

#include <QAction>
#include <QStyle>
#include <QToolBar>

namespace ravelin {

/// The window's toolbar: start/stop capture, clear all data, tick new processes, switch the
/// adapter, save the capture and open a saved one, each an action with its tool tip.
class MainToolBar : public QToolBar {
    Q_OBJECT

public:
    explicit MainToolBar(QWidget* window);

    QAction* startStopAction() const { return startStop_; }
    QAction* cleanAction() const { return clean_; }
    QAction* checkNewAction() const { return checkNew_; }
    QAction* switchAdapterAction() const { return switchAdapter_; }
    /// Ctrl+Shift+S anywhere in the window.
    QAction* saveCaptureAction() const { return saveCapture_; }
    /// Ctrl+O anywhere in the window.
    QAction* openCaptureAction() const { return openCapture_; }

private:
    QAction* AddTool(QStyle::StandardPixmap icon, const char* tip, bool checkable);

    QAction* startStop_;
    QAction* clean_;
    QAction* checkNew_;
    QAction* switchAdapter_;
    QAction* saveCapture_;
    QAction* openCapture_;
};

}  // namespace ravelin
