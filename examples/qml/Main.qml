// SPDX-License-Identifier: MIT
// A remote directory in a list: FtpService with its switches, a URL field and the listing.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import zendra

ApplicationWindow {
    id: window

    property alias url: directory.url
    readonly property alias directory: directory

    width: 640
    height: 420
    visible: true
    title: "zendra: " + (url || "no directory")

    FtpService {
        verifyPeer: peerSwitch.checked
        verifyHost: hostSwitch.checked
        activateSsl: sslSwitch.checked
    }

    FtpDirectoryModel {
        id: directory
    }

    header: ToolBar {
        padding: 6
        ColumnLayout {
            anchors.fill: parent
            RowLayout {
                // Closed only when TLS protected the last listing and its server was verified.
                Label {
                    objectName: "lock"
                    text: directory.encrypted && directory.peerVerified ? "\u{1F512}" : "\u{1F513}"
                    visible: directory.status === FtpDirectoryModel.Ready
                }
                TextField {
                    id: urlField
                    Layout.fillWidth: true
                    text: directory.url
                    placeholderText: "ftp://host/directory/"
                    onAccepted: directory.url = text
                }
                Button {
                    text: "List"
                    onClicked: directory.url === urlField.text ? directory.reload()
                                                               : directory.url = urlField.text
                }
            }
            RowLayout {
                Switch { id: peerSwitch; text: "Verify peer"; checked: true }
                Switch { id: hostSwitch; text: "Verify host"; checked: true }
                Switch { id: sslSwitch; text: "TLS"; checked: true }
            }
        }
    }

    ListView {
        anchors.fill: parent
        clip: true
        model: directory
        delegate: ItemDelegate {
            width: ListView.view.width
            contentItem: RowLayout {
                Label {
                    Layout.fillWidth: true
                    text: (isDir ? "\u25B8 " : "  ") + name
                    elide: Text.ElideRight
                }
                Label {
                    Layout.preferredWidth: 100
                    horizontalAlignment: Text.AlignRight
                    text: isDir ? "" : size.toLocaleString(Qt.locale(), "f", 0) + " B"
                }
                Label {
                    Layout.preferredWidth: 140
                    horizontalAlignment: Text.AlignRight
                    text: Qt.formatDateTime(modified, "yyyy-MM-dd hh:mm")
                }
            }
        }
    }

    footer: ColumnLayout {
        Label {
            objectName: "warning"
            Layout.margins: 6
            color: "darkred"
            text: directory.encrypted ? "Warning: the server's certificate was not verified"
                                      : "Warning: the listing was not protected by TLS"
            visible: directory.status === FtpDirectoryModel.Ready
                     && !(directory.encrypted && directory.peerVerified)
        }
        Label {
            Layout.margins: 6
            text: directory.status === FtpDirectoryModel.Loading ? "Loading\u2026"
                : directory.status === FtpDirectoryModel.Error ? directory.errorString
                : directory.status === FtpDirectoryModel.Ready ? directory.count + " entries"
                : "Enter a directory URL"
        }
    }
}
