"""canonical_gid: prefixes, versions and the pass-through of U accessions."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velko.util.accession import canonical_gid


@pytest.mark.parametrize(
    ("gid", "expected"),
    [
        ("RS_GCF_000005845.2", "G000005845"),
        ("GB_GCA_000008085.1", "G000008085"),
        ("GCF_000005845.2", "G000005845"),
        ("GCA_000008085", "G000008085"),
        ("G000005845", "G000005845"),
        ("UBA12345.1", "UBA12345.1"),
        ("URS_GCF_1.2", "URS_GCF_1.2"),
        ("RS_UBA1.1", "UBA1"),
        ("uBA1.1", "uBA1"),
        ("gca_123.1", "gca_123"),
        ("XRS_Y", "XY"),
        ("GRS_B_1", "1"),
        ("RRS_S_1", "RS_1"),
        ("GCA_CF_1", "G1"),
        ("GCF_CA_1", "GCA_1"),
        ("RS_GCF_1.2.3", "G1"),
        (".5", ""),
        ("", ""),
        ("RS_", ""),
        ("GCF_é.1", "Gé"),
        ("a\x00RS_b.c", "a\x00b"),
    ],
)
def test_canonical_gid(gid, expected):
    assert canonical_gid(gid) == expected
    assert canonical_gid(gid=gid) == expected


def reference(gid):
    if gid.startswith("U"):
        return gid
    for old, new in (("RS_", ""), ("GB_", ""), ("GCA_", "G"), ("GCF_", "G")):
        gid = gid.replace(old, new)
    return gid.split(".", 1)[0]


@given(
    st.lists(
        st.sampled_from(
            [
                "RS_",
                "GB_",
                "GCA_",
                "GCF_",
                "G",
                "C",
                "A",
                "F",
                "R",
                "S",
                "B",
                "_",
                ".",
                "U",
                "1",
                "é",
            ]
        )
    ).map("".join)
)
def test_agrees_with_str_replace(gid):
    assert canonical_gid(gid) == reference(gid)


def test_argument_errors():
    with pytest.raises(
        TypeError, match=re.escape("canonical_gid() missing 1 required positional argument: 'gid'")
    ):
        canonical_gid()
    with pytest.raises(
        TypeError,
        match=re.escape("argument 'gid': 'bytes' object cannot be converted to 'PyString'"),
    ):
        canonical_gid(b"GCF_1")
    with pytest.raises(UnicodeEncodeError):
        canonical_gid("\udc80")
