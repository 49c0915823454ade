import QtQuick
import QtTest
import Vesk.Testing

// Any warning fails the test, passing assertions or not: a binding that reads a missing property is a fault. The
// helpers make the fake controller and lists a view gets, show the view and find its parts by objectName.
TestCase {
    id: base
    visible: true
    when: windowShown

    readonly property Component globalsComponent: Component { FakeGlobals {} }
    readonly property Component tableComponent: Component { FakeTableModel {} }

    function init() { failOnWarning(/.*/) }
    function make(component, props) { return createTemporaryObject(component, base, props || {}) }
    function controller(props) { return make(globalsComponent, props) }
    function table(rows) { return make(tableComponent, { rows: rows || [] }) }
    function show(component, props) {
        var item = make(component, props)
        waitForRendering(item)
        return item
    }
    function findAll(item, name) {
        return Array.from(item.children).reduce((all, child) => all.concat(findAll(child, name)),
                                                 item.objectName === name ? [item] : [])
    }
}
