// SPDX-License-Identifier: MIT
// A small FTP browser: FtpService with its switches, a URL field, the listing (click a directory
// to enter it, "Up" to leave it, a file to download it into downloadDirectory), a local file to
// upload into the directory shown, a name for a new folder or a renamed entry, a delete button
// per entry, and the transfers' progress with cancel buttons.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import zendra

ApplicationWindow {
    id: window

    property alias url: directory.url
    readonly property alias directory: directory
    readonly property alias download: download
    readonly property alias upload: upload
    // Where clicked files go, and the login; the host sets them.
    property string downloadDirectory: "."
    property string user
    property string password

    function folderUrl() {
        return directory.url.replace(/\/*$/, "/")
    }

    function parentUrl(url) {
        const trimmed = url.replace(/\/+$/, "")
        const cut = trimmed.lastIndexOf("/")
        return cut > trimmed.indexOf("//") + 1 ? trimmed.slice(0, cut + 1) : url
    }

    width: 720
    height: 480
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

    FtpUpload {
        id: upload
        onStatusChanged: if (status === FtpUpload.Finished) directory.reload()
    }

    // The last operation's outcome, shown in the footer until the next listing.
    property string operationMessage: ""
    Connections {
        target: directory
        function onOperationFinished(success, errorString) {
            window.operationMessage = success ? "" : errorString
        }
        function onUrlChanged() { window.operationMessage = "" }
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
            RowLayout {
                TextField {
                    id: localField
                    objectName: "localFile"
                    Layout.fillWidth: true
                    placeholderText: "local file to upload"
                }
                Button {
                    text: "Upload"
                    enabled: localField.text !== "" && directory.url !== ""
                             && upload.status !== FtpUpload.Uploading
                    onClicked: {
                        const path = localField.text.replace(/^file:\/\//, "")
                        upload.url = window.folderUrl()
                            + encodeURIComponent(path.slice(path.lastIndexOf("/") + 1))
                        upload.localFile = path
                        upload.start()
                    }
                }
                TextField {
                    id: nameField
                    objectName: "name"
                    Layout.preferredWidth: 140
                    placeholderText: "name"
                }
                Button {
                    text: "New folder"
                    enabled: nameField.text !== "" && directory.url !== ""
                    onClicked: directory.makeDirectory(nameField.text)
                }
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
                Button {
                    text: "Rename"
                    flat: true
                    enabled: nameField.text !== ""
                    onClicked: directory.renameEntry(index, nameField.text)
                }
                Button {
                    text: "Delete"
                    flat: true
                    onClicked: directory.removeEntry(index)
                }
            }
        }
    }

    // One transfer's name, state and progress, with a cancel button.
    component TransferRow: RowLayout {
        id: row
        property string name
        property string detail
        property real progress
        property bool running
        signal cancel()
        Label {
            Layout.fillWidth: true
            elide: Text.ElideMiddle
            text: row.name + ": " + row.detail
        }
        // Drawn by hand: Qt 6.4's ProgressBar leaks its texture when the window goes.
        Rectangle {
            Layout.preferredWidth: 160
            Layout.preferredHeight: 10
            radius: 5
            color: "#d0d0d0"
            Rectangle {
                width: parent.width * row.progress
                height: parent.height
                radius: 5
                color: "#3584e4"
            }
        }
        Button {
            text: "Cancel"
            enabled: row.running
            onClicked: row.cancel()
        }
    }

    function mebibytes(done, total) {
        return (done / 1048576).toFixed(1) + " of "
            + (total < 0 ? "?" : (total / 1048576).toFixed(1)) + " MiB"
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
            ColumnLayout {
                anchors.fill: parent
                Label {
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                    text: window.operationMessage !== "" ? window.operationMessage
                        : directory.status === FtpDirectoryModel.Loading ? "Loading\u2026"
                        : directory.status === FtpDirectoryModel.Error ? directory.errorString
                        : directory.status === FtpDirectoryModel.Ready
                          ? (directory.count === 1 ? "1 entry" : directory.count + " entries")
                        : "Enter a directory URL"
                }
                TransferRow {
                    id: uploadRow
                    Layout.fillWidth: true
                    visible: upload.status !== FtpUpload.Null
                    name: "\u2191 " + upload.url.slice(upload.url.lastIndexOf("/") + 1)
                    detail: upload.status === FtpUpload.Uploading
                           ? window.mebibytes(upload.bytesSent, upload.bytesTotal)
                           : upload.status === FtpUpload.Finished ? "uploaded"
                           : upload.status === FtpUpload.Cancelled ? "cancelled"
                           : upload.errorString
                    progress: upload.progress
                    running: upload.status === FtpUpload.Uploading
                    onCancel: upload.cancel()
                }
                TransferRow {
                    id: downloadRow
                    Layout.fillWidth: true
                    visible: download.status !== FtpDownload.Null
                    name: "\u2193 " + download.url.slice(download.url.lastIndexOf("/") + 1)
                    detail: download.status === FtpDownload.Downloading
                           ? window.mebibytes(download.bytesReceived, download.bytesTotal)
                           : download.status === FtpDownload.Finished ? "saved"
                           : download.status === FtpDownload.Cancelled ? "cancelled"
                           : download.errorString
                    progress: download.progress
                    running: download.status === FtpDownload.Downloading
                    onCancel: download.cancel()
                }
            }
        }
    }
}
