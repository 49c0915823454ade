# The one test of "the interface loaded without a QML warning", shared by every script that starts the real
# program. Source it, then:
#     qml_warnings LOGFILE
# prints every line of LOGFILE that is a QML warning or error and returns 1 if there was one; returns 0 and prints
# nothing for a clean log, 2 if LOGFILE cannot be read. The program mirrors Qt's messages (QML ones included) to
# stderr when VESK_LOG_TO_STDERR=1 is set, so LOGFILE is usually that stderr.
qml_warnings() {
    local log="${1:?usage: qml_warnings LOGFILE}"
    [ -r "$log" ] || { echo "qml_warnings: cannot read $log"; return 2; }
    # A location in a QML or JavaScript file ("qrc:/.../X.qml:12: ...", "file:///.../Format.js:3:1: ..."), or the
    # words the engine uses when a binding, a type or the whole window fails.
    local pattern='\.(qml|js):[0-9]+|ReferenceError|TypeError|SyntaxError|RangeError|Binding loop|Unable to assign'
    pattern+='|Cannot assign|is not a type|is not installed|Cannot read property|Cannot call method'
    pattern+='|QQmlApplicationEngine failed|QQmlComponent: Component is not ready|Type .* unavailable'
    ! grep -E "$pattern" "$log"
}
