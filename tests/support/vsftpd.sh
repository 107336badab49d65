#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Debian's vsftpd, as unpacked by scripts/install-deps.sh, for the test fixture
# (tests/support/ftpserver.h); arguments and output as in ftpd.sh. vsftpd checks passwords only
# through PAM: install-deps.sh adds the PAM service zendra-test-vsftpd (pam_userdb), which reads
# the logins that this script keeps beside the binary. Every login is the guest "ftp", jailed in
# HOME; that needs root.
source "$(dirname "$0")/ftpd.sh"

binary=$unpacked/vsftpd/usr/sbin/vsftpd logins=$unpacked/vsftpd-logins
[ -x "$binary" ] || skip "vsftpd is not unpacked in $unpacked (scripts/install-deps.sh)"
[ -f /etc/pam.d/zendra-test-vsftpd ] || skip "no PAM service zendra-test-vsftpd (install-deps.sh)"
[ "$(id -u)" -eq 0 ] || skip "vsftpd checks passwords through PAM only as root"
[ -d "$(getent passwd ftp | cut -d: -f6)" ] || skip "vsftpd needs the user ftp with a home"
# Servers started at once share the file.
flock "$logins.lock" /usr/bin/python3 -c 'import dbm.ndbm, sys
with dbm.ndbm.open(sys.argv[1], "c", 0o600) as db: db[sys.argv[2]] = sys.argv[3]' \
    "$logins" "$user" "$password"
mkdir -p -m 755 "$state/empty"
required=$([ "$tls" = required ] && echo YES || echo NO)
printf '%s\n' listen=YES background=NO listen_address=127.0.0.1 "listen_port=$port" \
    anonymous_enable=NO local_enable=YES pam_service_name=zendra-test-vsftpd guest_enable=YES \
    guest_username=ftp virtual_use_local_privs=YES write_enable=YES local_umask=022 \
    "local_root=$home" chroot_local_user=YES allow_writeable_chroot=YES \
    "secure_chroot_dir=$state/empty" seccomp_sandbox=NO isolate=NO isolate_network=NO \
    tcp_wrappers=NO userlist_enable=NO xferlog_enable=NO >"$state/vsftpd.conf"
[ "$rate" -lt 0 ] || printf '%s\n' "local_max_rate=$rate" "anon_max_rate=$rate" >>"$state/vsftpd.conf"
[ "$tls" = off ] || printf '%s\n' ssl_enable=YES "rsa_cert_file=$chain" "rsa_private_key_file=$key" \
    ssl_ciphers=HIGH "force_local_logins_ssl=$required" "force_local_data_ssl=$required" \
    >>"$state/vsftpd.conf"

serve "$binary" "$state/vsftpd.conf"
