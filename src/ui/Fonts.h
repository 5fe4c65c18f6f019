#pragma once

#include <QFont>
#include <QFontDatabase>

namespace ravelin {

/// `base` without fallback fonts. Payload text holds characters of any script; a fallback font
/// for a script that needs OpenType shaping, which the installed fonts often lack, makes Qt warn
/// on standard error for every such script. The family stays when it covers Chinese text;
/// otherwise the first installed family that covers Chinese and Latin text takes its place.
inline QFont WithoutFallbacks(QFont base) {
    const QString family = QFontInfo(base).family();
    if (!QFontDatabase::writingSystems(family).contains(QFontDatabase::SimplifiedChinese)) {
        for (const QString& candidate : QFontDatabase::families(QFontDatabase::SimplifiedChinese)) {
            if (QFontDatabase::writingSystems(candidate).contains(QFontDatabase::Latin)) {
                base.setFamilies({candidate});
                break;
            }
        }
    }
    base.setStyleStrategy(QFont::NoFontMerging);
    return base;
}

}  // namespace ravelin
