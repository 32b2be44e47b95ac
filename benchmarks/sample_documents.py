"""The builder documents that the benchmarks time: entries spread over the four kinds."""


def builder_with(entries: int, did: str, key_hex: str, make):
    """A builder (ours or the reference) with `entries` entries spread over the four kinds."""
    builder = make(did)
    for i in range(entries):
        kind = i % 4
        if kind == 0:
            builder.add_verification_method(f"key-{i}", key_hex)
        elif kind == 1:
            builder.add_authentication(f"key-{i - 1}")
        elif kind == 2:
            builder.add_assertion_method(f"key-{i - 2}")
        else:
            builder.add_service(f"service-{i}", "LinkedDomains", f"https://example.com/endpoint/{i}")
    return builder
