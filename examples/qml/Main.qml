// SPDX-License-Identifier: MIT
// A small FTP browser: FtpService with its switches, a URL field, the listing (click a directory
// to enter it, "Up" to leave it, a file to download it into downloadDirectory) and the download's
// progress with a cancel button.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import zendra

ApplicationWindow {
    id: window

    property alias url: directory.url
    readonly property alias directory: directory
    readonly property alias download: download
    // Where clicked files go, and the login; the host sets them.
    property string downloadDirectory: "."
    property string user
    property string password

    function parentUrl(url) {
        const trimmed = url.replace(/\/+$/, "")
        const cut = trimmed.lastIndexOf("/")
        return cut > trimmed.indexOf("//") + 1 ? trimmed.slice(0, cut + 1) : url
    }

    width: 640
    height: 420
    visible: true
    title: "zendra: " + (url || "no directory")

    FtpService {
        userName: window.user
        password: window.password
        verifyPeer: peerSwitch.checked
        verifyHost: hostSwitch.checked
        activateSsl: sslSwitch.checked
        requireVerifiedPeer: verifiedSwitch.checked
    }

    FtpDirectoryModel {
        id: directory
    }

    FtpDownload {
        id: download
    }

    header: ToolBar {
        padding: 6
        ColumnLayout {
            anchors.fill: parent
            RowLayout {
                // Closed only when TLS protected the last listing and its server was verified
                // against a root that someone other than the server vouched for; drawn, since
                // not every system has a font with a lock.
                Item {
                    id: lock
                    objectName: "lock"
                    readonly property bool closed: directory.encrypted && directory.peerVerified
                                                   && directory.trust !== FtpResult.FirstUseTrust
                    readonly property color color: closed ? "#2e7d32" : "#c62828"
                    implicitWidth: 14
                    implicitHeight: 20
                    visible: directory.status === FtpDirectoryModel.Ready
                    Rectangle { // the shackle, lifted and turned aside when open
                        x: parent.closed ? 3 : 7
                        y: parent.closed ? 2 : 0
                        width: 8
                        height: 12
                        radius: 4
                        color: "transparent"
                        border.width: 2
                        border.color: parent.color
                    }
                    Rectangle {
                        y: 9
                        width: 14
                        height: 11
                        radius: 2
                        color: parent.color
                    }
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
                Button {
                    text: "Up"
                    enabled: window.parentUrl(directory.url) !== directory.url
                    onClicked: directory.url = window.parentUrl(directory.url)
                }
            }
            RowLayout {
                Switch { id: peerSwitch; text: "Verify peer"; checked: true }
                Switch { id: hostSwitch; text: "Verify host"; checked: true }
                Switch { id: sslSwitch; text: "TLS"; checked: true }
                // Refuses servers that are not verified over TLS; the refusal shows below.
                Switch { id: verifiedSwitch; objectName: "requireVerified"; text: "Verified TLS only" }
            }
        }
    }

    ListView {
        anchors.fill: parent
        clip: true
        model: directory
        delegate: ItemDelegate {
            width: ListView.view.width
            onClicked: {
                if (isDir) {
                    directory.url = url
                } else if (download.status !== FtpDownload.Downloading) {
                    download.url = url
                    download.localFile = window.downloadDirectory + "/" + name
                    download.start()
                }
            }
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
        spacing: 0
        Label {
            objectName: "warning"
            Layout.margins: 6
            color: "darkred"
            text: !directory.encrypted ? "Warning: the listing was not protected by TLS"
                : directory.peerVerified ? "Warning: nobody but the server vouches for its certificate"
                : "Warning: the server's certificate was not verified"
            visible: directory.status === FtpDirectoryModel.Ready && !lock.closed
        }
        ToolBar {
            Layout.fillWidth: true
            padding: 6
            RowLayout {
                anchors.fill: parent
                spacing: 16
                Label {
                    Layout.fillWidth: !downloadRow.visible
                    text: directory.status === FtpDirectoryModel.Loading ? "Loading\u2026"
                        : directory.status === FtpDirectoryModel.Error ? directory.errorString
                        : directory.status === FtpDirectoryModel.Ready
                          ? (directory.count === 1 ? "1 entry" : directory.count + " entries")
                        : "Enter a directory URL"
                }
                RowLayout {
                    id: downloadRow
                    Layout.fillWidth: true
                    visible: download.status !== FtpDownload.Null
                    Label {
                        Layout.fillWidth: true
                        elide: Text.ElideMiddle
                        text: download.url.slice(download.url.lastIndexOf("/") + 1) + ": "
                            + (download.status === FtpDownload.Downloading
                               ? (download.bytesReceived / 1048576).toFixed(1) + " of "
                                 + (download.bytesTotal < 0 ? "?"
                                    : (download.bytesTotal / 1048576).toFixed(1)) + " MiB"
                               : download.status === FtpDownload.Finished ? "saved"
                               : download.status === FtpDownload.Cancelled ? "cancelled"
                               : download.errorString)
                    }
                    // Drawn by hand: Qt 6.4's ProgressBar leaks its texture when the window goes.
                    Rectangle {
                        Layout.preferredWidth: 160
                        Layout.preferredHeight: 10
                        radius: 5
                        color: "#d0d0d0"
                        Rectangle {
                            width: parent.width * download.progress
                            height: parent.height
                            radius: 5
                            color: "#3584e4"
                        }
                    }
                    Button {
                        text: "Cancel"
                        enabled: download.status === FtpDownload.Downloading
                        onClicked: download.cancel()
                    }
                }
            }
        }
    }
}
