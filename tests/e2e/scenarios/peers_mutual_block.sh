# shellcheck shell=bash
# Two instances that block each other never confirm each other, and each answers the other's "addMeRequest"
# with one of its own only once per announcement cycle: the exchange stays a trickle instead of a storm, and
# neither side marks the other "on".
RIG_ENV=(QT_LOGGING_RULES="vesk.peers.debug=true")
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"

rig_sql 1 "update vesk_peers set blocked = 'yes' where id = '$b'"
rig_sql 2 "update vesk_peers set blocked = 'yes' where id = '$a'"
before1=$(grep -c "addMeRequest from" "$(rig_folder 1)/out.log")
before2=$(grep -c "addMeRequest from" "$(rig_folder 2)/out.log")
# Both mark their peers off and announce again: eleven announcements each over the next 22 seconds.
rig_cmd 1 refreshPeers
rig_cmd 2 refreshPeers
sleep 10
rig_expect_sql 1 "select status from vesk_peers where id = '$b'" off
rig_expect_sql 2 "select status from vesk_peers where id = '$a'" off
handled1=$(($(grep -c "addMeRequest from" "$(rig_folder 1)/out.log") - before1))
handled2=$(($(grep -c "addMeRequest from" "$(rig_folder 2)/out.log") - before2))
echo "requests handled in 10 s while blocking each other: $handled1 and $handled2"
# One per announcement heard and one answer per cycle: about ten in ten seconds. Unbounded it would be thousands.
[ "$handled1" -ge 1 ] && [ "$handled2" -ge 1 ] || rig_fail "the instances stopped talking to each other at all"
[ "$handled1" -le 30 ] && [ "$handled2" -le 30 ] || rig_fail "addMeRequest is not bounded: $handled1, $handled2"
rig_running 1 && rig_running 2 || rig_fail "an instance ended"
