# A second account of RFC 9162's Merkle tree, written from its recursive definitions (2.1.1,
# 2.1.3.1, 2.1.4.1) over a list of entries, for the product's tree code to be checked against.
from functools import cache
from hashlib import sha256


class ReferenceTree:
    def __init__(self, entries):
        self.entries = list(entries)
        self.mth = cache(self._mth)

    def _mth(self, start, end):  # MTH(D[start:end])
        n = end - start
        if n == 0:
            return sha256(b"").digest()
        if n == 1:
            return sha256(b"\x00" + self.entries[start]).digest()
        k = 1
        while k * 2 < n:
            k *= 2
        return sha256(b"\x01" + self.mth(start, start + k) + self.mth(start + k, end)).digest()

    def path(self, m, start, end):  # PATH(m, D[start:end])
        n = end - start
        if n == 1:
            return []
        k = 1
        while k * 2 < n:
            k *= 2
        if m < k:
            return self.path(m, start, start + k) + [self.mth(start + k, end)]
        return self.path(m - k, start + k, end) + [self.mth(start, start + k)]

    def subproof(self, m, start, end, whole):  # SUBPROOF(m, D[start:end], b)
        n = end - start
        if m == n:
            return [] if whole else [self.mth(start, end)]
        k = 1
        while k * 2 < n:
            k *= 2
        if m <= k:
            return self.subproof(m, start, start + k, whole) + [self.mth(start + k, end)]
        return self.subproof(m - k, start + k, end, False) + [self.mth(start, start + k)]

    def consistency(self, m, n):  # PROOF(m, D[0:n]), for 0 < m <= n
        return self.subproof(m, 0, n, True)
