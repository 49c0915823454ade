pragma Singleton
import QtQuick

// Colours, type and spacing of the whole interface. Two palettes, picked by the lightness of the system's window
// colour, so the window follows a light or a dark desktop; the brand colours stay the same in both.
QtObject {
    id: theme

    property SystemPalette system: SystemPalette { colorGroup: SystemPalette.Active }
    property bool dark: system.window.hslLightness < 0.5

    // Brand: teal to blue. Text on brand surfaces is white; blue carries it with enough contrast, teal does not,
    // so teal is only ever decoration.
    readonly property color brandTeal: "#3DB9AE"
    readonly property color brandBlue: "#2B7CB6"
    readonly property color brand: brandBlue
    readonly property color brandHover: "#2570A6"
    readonly property color brandPressed: "#1F6292"
    readonly property color textOnBrand: "#FFFFFF"

    readonly property color window: dark ? "#161B22" : "#F3F5F8"
    readonly property color surface: dark ? "#1E252E" : "#FFFFFF"
    readonly property color surfaceAlt: dark ? "#27303B" : "#EAEEF3"
    readonly property color text: dark ? "#E6EDF3" : "#1B2430"
    readonly property color textMuted: dark ? "#9DA9B6" : "#5B6676"
    readonly property color disabledText: dark ? "#5F6B78" : "#A3ACB8"
    readonly property color divider: dark ? "#2E3742" : "#DDE2E8"
    readonly property color hover: dark ? "#26303B" : "#EEF3F8"
    readonly property color pressed: dark ? "#2E3A47" : "#E1E9F1"
    readonly property color selected: dark ? "#1D3A52" : "#E2F0F9"
    readonly property color focus: dark ? "#6CC4F0" : "#2B7CB6"
    readonly property color accentText: dark ? "#6CB8EA" : "#23679A"
    readonly property color danger: dark ? "#FF7B72" : "#C0392B"
    readonly property color online: "#2FB36B"
    readonly property color offline: dark ? "#6B7785" : "#A6AFBA"
    readonly property color incomingBubble: dark ? "#27303B" : "#FFFFFF"
    readonly property color incomingBorder: dark ? "#313C48" : "#DDE2E8"
    readonly property color outgoingBubble: brandBlue
    readonly property color badge: dark ? "#3FA7E0" : "#2B7CB6"
    readonly property color track: dark ? "#2E3742" : "#DDE6EE"
    readonly property color avatarFill: dark ? "#2E3742" : "#DDE6EE"
    readonly property color shadow: dark ? "#66000000" : "#1A0F2A40"

    // Type: one family (the desktop's), three sizes.
    readonly property int fontCaption: 12
    readonly property int fontBody: 14
    readonly property int fontTitle: 16

    // Spacing on a 4-pixel grid.
    readonly property int spacingXs: 4
    readonly property int spacingS: 8
    readonly property int spacingM: 12
    readonly property int spacingL: 16
    readonly property int spacingXl: 24

    readonly property int radius: 8
    readonly property int bubbleRadius: 14
    readonly property int rowHeight: 56
    readonly property int iconSize: 20
    readonly property int controlHeight: 36
}
