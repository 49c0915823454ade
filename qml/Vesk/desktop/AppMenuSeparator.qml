import QtQuick
import QtQuick.Controls.Basic

MenuSeparator {
    topPadding: Theme.spacingXs
    bottomPadding: Theme.spacingXs
    contentItem: Rectangle {
        implicitHeight: 1
        color: Theme.divider
    }
}
