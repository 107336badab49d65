# SPDX-License-Identifier: MIT
"""Prints, as JSON, libcurl's certificate information for an explicit-TLS FTP URL: one list of
entries per certificate, in libcurl's order, each entry exactly as libcurl gives it.

Usage: certinfo.py URL
"""
import ctypes
import ctypes.util
import json
import sys

CURLOPT_URL = 10002
CURLOPT_USE_SSL = 119
CURLOPT_SSL_VERIFYPEER = 64
CURLOPT_SSL_VERIFYHOST = 81
CURLOPT_CERTINFO = 172
CURLOPT_NOBODY = 44
CURLINFO_CERTINFO = 0x400000 + 34
CURLUSESSL_ALL = 3


class Slist(ctypes.Structure):
    pass


Slist._fields_ = [("data", ctypes.c_char_p), ("next", ctypes.POINTER(Slist))]


class CertInfo(ctypes.Structure):
    _fields_ = [("num_of_certs", ctypes.c_int), ("certinfo", ctypes.POINTER(ctypes.POINTER(Slist)))]


def main():
    curl = ctypes.CDLL(ctypes.util.find_library("curl"))
    curl.curl_easy_init.restype = ctypes.c_void_p
    curl.curl_easy_setopt.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    curl.curl_easy_perform.argtypes = [ctypes.c_void_p]
    curl.curl_easy_getinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    curl.curl_easy_cleanup.argtypes = [ctypes.c_void_p]
    handle = curl.curl_easy_init()
    curl.curl_easy_setopt(handle, CURLOPT_URL, sys.argv[1].encode())
    curl.curl_easy_setopt(handle, CURLOPT_USE_SSL, CURLUSESSL_ALL)
    curl.curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0)
    curl.curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0)
    curl.curl_easy_setopt(handle, CURLOPT_CERTINFO, 1)
    curl.curl_easy_setopt(handle, CURLOPT_NOBODY, 1)
    code = curl.curl_easy_perform(handle)
    if code != 0:
        sys.exit("curl_easy_perform failed with %d" % code)
    info = ctypes.POINTER(CertInfo)()
    curl.curl_easy_getinfo(handle, CURLINFO_CERTINFO, ctypes.byref(info))
    chain = []
    for i in range(info.contents.num_of_certs):
        entries = []
        node = info.contents.certinfo[i]
        while node:
            entries.append(node.contents.data.decode("utf-8"))
            node = node.contents.next
        chain.append(entries)
    curl.curl_easy_cleanup(handle)
    json.dump(chain, sys.stdout, indent=1, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
