import QtQuick
import QtQuick.Controls.Basic

// A list that is one stop in the Tab order: the arrow keys move through the rows, Enter or Space activates the
// current one (rowActivated), the Menu key or Shift+F10 asks for its menu (rowMenuRequested).
ListView {
    id: list

    signal rowActivated(var item)
    signal rowMenuRequested(var item)

    clip: true

    // When the people or files shown change, the model is re-read and the view starts over: put it back where the
    // user was (scroll position and current row), as far as the list is still long enough.
    property real keptY: 0
    property int keptIndex: -1
    Connections {
        target: list.model && typeof list.model === "object" ? list.model : null
        ignoreUnknownSignals: true
        function onModelAboutToBeReset() {
            list.keptY = list.contentY
            list.keptIndex = list.currentIndex
        }
        function onModelReset() {
            Qt.callLater(list.restorePlace) // qmllint disable type
        }
    }
    function restorePlace() {
        if (keptIndex >= 0 && count > 0)
            currentIndex = Math.min(keptIndex, count - 1)
        contentY = Math.max(originY, Math.min(keptY, contentHeight - height + originY))
    }
    // Rows are made as they come into view, never ahead in the background: the models are re-read as a whole
    // at any moment, and a reset that lands while a row is still being made ahead of time upsets the view.
    cacheBuffer: 0
    activeFocusOnTab: count > 0
    keyNavigationEnabled: true
    boundsBehavior: Flickable.StopAtBounds
    highlightMoveDuration: 0
    ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

    Keys.onPressed: (event) => {
        if (!currentItem)
            return
        if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter || event.key === Qt.Key_Space) {
            list.rowActivated(currentItem)
            event.accepted = true
        } else if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && (event.modifiers & Qt.ShiftModifier))) {
            list.rowMenuRequested(currentItem)
            event.accepted = true
        }
    }
}
