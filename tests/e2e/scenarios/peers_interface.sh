# shellcheck shell=bash
# The real interface on a real LAN: Alice runs the program's own QML, Bob the scripted one. They see each other,
# Bob writes to Alice, and Alice's interface shows it all without a single QML warning or error.
rig_lan 2
rig_instance 1 Alice
rig_real_interface 1
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
rig_cmd 2 sendChat "$(rig_node_id 1)" "hello from the scripted side"
rig_wait_sql 1 "select unreadMessagesCount from vesk_peers where id = '$(rig_node_id 2)'" 1
sleep 2 # let the interface take the new rows in
rig_qml_clean 1
rig_kill 1 # the real interface has no scripted quit
