#include "ui/CaptureFileCommands.h"

#include <QAction>
#include <QFileDialog>

#include "output/CaptureSaving.h"
#include "ui/LinkController.h"
#include "ui/MainToolBar.h"

namespace ravelin {

CaptureFileCommands::CaptureFileCommands(QWidget& window, MainToolBar& toolBar,
                                         CaptureController& controller, const LinkController& link,
                                         ErrorReporter& reporter,
                                         std::function<void(std::string_view)> showActivity)
    : QObject(&window),
      window_(window),
      controller_(controller),
      link_(link),
      reporter_(reporter),
      showActivity_(std::move(showActivity)) {
    connect(toolBar.saveCaptureAction(), &QAction::triggered, this, &CaptureFileCommands::OnSave);
    connect(toolBar.openCaptureAction(), &QAction::triggered, this, &CaptureFileCommands::OnOpen);
}

void CaptureFileCommands::OnSave() {
    const QString path = QFileDialog::getSaveFileName(
        &window_, QString::fromUtf8("保存抓包"), QStringLiteral("capture.pcapng"),
        QStringLiteral("pcapng (*.pcapng);;All files (*)"));
    if (!path.isEmpty()) SaveTo(path);
}

bool CaptureFileCommands::SaveTo(const QString& path) {
    if (!CheckCall(SaveCapture(path.toStdString(), controller_.lists()),
                   "WriteFile 保存抓包文件失败", reporter_)) {
        return false;
    }
    showActivity_("Capture saved");
    return true;
}

void CaptureFileCommands::OnOpen() {
    const QString path = QFileDialog::getOpenFileName(
        &window_, QString::fromUtf8("打开抓包文件"), QString(),
        QStringLiteral("Captures (*.pcapng *.pcap *.cap);;All files (*)"));
    if (!path.isEmpty()) Open(path);
}

void CaptureFileCommands::Open(const QString& path) {
    if (!link_.linking()) controller_.OpenFile(path.toStdString());
}

}  // namespace ravelin
