# A service endpoint and relativeRef make one URI as RFC 3986 section 5 resolves references: its own examples.
import pytest

from did_vek.registry.uri_reference import resolve_reference

BASE = "http://a/b/c/d;p?q"
RFC_3986_EXAMPLES = {
    "g:h": "g:h", "g": "http://a/b/c/g", "./g": "http://a/b/c/g", "g/": "http://a/b/c/g/", "/g": "http://a/g",
    "//g": "http://g", "?y": "http://a/b/c/d;p?y", "g?y": "http://a/b/c/g?y", "#s": "http://a/b/c/d;p?q#s",
    "g#s": "http://a/b/c/g#s", "g?y#s": "http://a/b/c/g?y#s", ";x": "http://a/b/c/;x", "g;x": "http://a/b/c/g;x",
    "g;x?y#s": "http://a/b/c/g;x?y#s", "": "http://a/b/c/d;p?q", ".": "http://a/b/c/", "./": "http://a/b/c/",
    "..": "http://a/b/", "../": "http://a/b/", "../g": "http://a/b/g", "../..": "http://a/", "../../": "http://a/",
    "../../g": "http://a/g",
    # abnormal examples
    "../../../g": "http://a/g", "../../../../g": "http://a/g", "/./g": "http://a/g", "/../g": "http://a/g",
    "g.": "http://a/b/c/g.", ".g": "http://a/b/c/.g", "g..": "http://a/b/c/g..", "..g": "http://a/b/c/..g",
    "./../g": "http://a/b/g", "./g/.": "http://a/b/c/g/", "g/./h": "http://a/b/c/g/h", "g/../h": "http://a/b/c/h",
    "g;x=1/./y": "http://a/b/c/g;x=1/y", "g;x=1/../y": "http://a/b/c/y", "g?y/./x": "http://a/b/c/g?y/./x",
    "g?y/../x": "http://a/b/c/g?y/../x", "g#s/./x": "http://a/b/c/g#s/./x", "g#s/../x": "http://a/b/c/g#s/../x",
    "http:g": "http:g",
}


@pytest.mark.parametrize("reference, target", RFC_3986_EXAMPLES.items())
def test_the_examples_of_rfc_3986_resolve_as_it_says(reference, target):
    assert resolve_reference(BASE, reference) == target


@pytest.mark.parametrize("base, reference, target", [
    ("https://files.example", "docs/a.pdf", "https://files.example/docs/a.pdf"),  # an empty path merges to "/"
    ("urn:example:files", "?x=1", "urn:example:files?x=1"),                      # any scheme, not only the web's
    ("not a uri", "/a", None),
])
def test_endpoints_of_any_scheme_and_those_without_one(base, reference, target):
    assert resolve_reference(base, reference) == target
