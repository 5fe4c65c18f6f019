#include "ui/MainToolBar.h"

#include <QStyle>

namespace ravelin {

MainToolBar::MainToolBar(QWidget* window)
    : QToolBar(window),
      startStop_(AddTool(QStyle::SP_MediaPlay, "启动/停止 监听(F5)", true)),
      clean_(AddTool(QStyle::SP_TrashIcon, "清除所有数据", false)),
      checkNew_(AddTool(QStyle::SP_DialogApplyButton, "勾选新进程", true)),
      switchAdapter_(AddTool(QStyle::SP_DriveNetIcon, "切换监听网卡", false)) {
    setMovable(false);
    setIconSize(QSize(16, 16));
    checkNew_->setChecked(true);
}

QAction* MainToolBar::AddTool(QStyle::StandardPixmap icon, const char* tip, bool checkable) {
    QAction* action = addAction(style()->standardIcon(icon), QString());
    action->setCheckable(checkable);
    action->setToolTip(QString::fromUtf8(tip));
    return action;
}

}  // namespace ravelin
