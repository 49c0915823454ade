import QtQuick
Item { function run(verb, args) { return false; } } // no verbs: a benchmark puts its own file here
