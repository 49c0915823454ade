# shellcheck shell=bash
# The real interface on a real LAN: Alice runs the program's own QML, Bob the scripted one. They see each other,
# Bob writes to Alice, and Alice's interface must show it all without a single QML warning or error.
export VESK_LOG_TO_STDERR=1
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rm -rf "$(rig_folder 1)/app/qml"
cp -r "$RIG_SRC/qml" "$(rig_folder 1)/app/qml"
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
rig_cmd 2 sendChat "$a" "hello from the scripted side"
rig_wait_sql 2 "select status from vesk_chats where peerto = '$a'" sent
rig_wait_sql 1 "select unreadMessagesCount from vesk_peers where id = '$(rig_node_id 2)'" 1
sleep 2 # let the interface take the new rows in

log="$(rig_folder 1)/out.log"
grep -q "Vesk interface loaded" "$log" || rig_fail "Alice's interface did not finish loading"
pattern='\.qml(:[0-9]+)?|\.js(:[0-9]+)?:|QML |qml:|ReferenceError|TypeError|SyntaxError|Binding loop|is not a type|is not installed|Cannot assign|Unable to assign|Cannot open|Cannot read property|Unable to '
if grep -E "$pattern" "$log" | grep -v "Vesk interface loaded" >"$(rig_folder 1)/qml-problems.txt"; then
    cat "$(rig_folder 1)/qml-problems.txt" >&2
    rig_fail "QML warnings or errors in the real interface"
fi
# The real interface has no scripted quit: end Alice directly.
kill "${RIG_PID[1]}" 2>/dev/null
wait "${RIG_PID[1]}" 2>/dev/null
RIG_PID[1]=""
