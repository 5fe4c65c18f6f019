#include "ui/MainToolBar.h"

#include <QKeySequence>
#include <QStyle>

namespace ravelin {

MainToolBar::MainToolBar(QWidget* window)
    : QToolBar(window),
      startStop_(AddTool(QStyle::SP_MediaPlay, "启动/停止 监听(F5)", true)),
      clean_(AddTool(QStyle::SP_TrashIcon, "清除所有数据", false)),
      checkNew_(AddTool(QStyle::SP_DialogApplyButton, "勾选新进程", true)),
      switchAdapter_(AddTool(QStyle::SP_DriveNetIcon, "切换监听网卡", false)),
      saveCapture_(AddTool(QStyle::SP_DialogSaveButton, "保存抓包(pcapng, Ctrl+Shift+S)", false)),
      openCapture_(AddTool(QStyle::SP_DialogOpenButton, "打开抓包文件(Ctrl+O)", false)) {
    setMovable(false);
    saveCapture_->setText(QString::fromUtf8("保存抓包(Ctrl+Shift+S)"));
    saveCapture_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    saveCapture_->setShortcutContext(Qt::WindowShortcut);
    openCapture_->setText(QString::fromUtf8("打开抓包文件(Ctrl+O)"));
    openCapture_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    openCapture_->setShortcutContext(Qt::WindowShortcut);
    // Both texts name their key already; the lists' menus, which show these actions too, would
    // name it a second time.
    saveCapture_->setShortcutVisibleInContextMenu(false);
    openCapture_->setShortcutVisibleInContextMenu(false);
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
