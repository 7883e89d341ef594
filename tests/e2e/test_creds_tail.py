"""GetAccessCreds on stored plaintexts the store itself never writes: no zero
tail, an odd number of bytes, nothing at all. The test DLL's hook protects the
bytes as given and writes them in the store's layout; the read must still hand
back terminated texts and leave nothing allocated."""

import pytest

from conftest import TEST_USER, account_key

TOKEN = "k3m9q2w7x5v1r8t"
SECRET = "p4n6d1f8h3j7l2s"


def utf16(text):
    return text.encode("utf-16-le")


def as_stored(text):
    """The plaintext the store writes: the text's 2n bytes, then zeros up to 4n + 4."""
    data = utf16(text)
    return data + bytes(4 * len(text) + 4 - len(data))


def store_raw(run_host, which, plaintext):
    run = run_host("store-raw", which, plaintext.hex(), dll="faults", env={"USER": TEST_USER})
    assert run.exit_code == 0, run
    assert run.result("VelmoraDebugStoreRawCredential") == {
        "event": "result", "export": "VelmoraDebugStoreRawCredential", "return": 0, "credential": which,
        "length": len(plaintext)}, run
    assert run.counters["outstanding_blocks"] == 0, run


# Secrets of every length up to 24 units: a reader that runs past its block
# returns whatever follows it in the heap, which is zero for some lengths and
# not for others, so one length alone may not show it.
LETTERS = "abcdefghijklmnopqrstuvwx"
SECRETS = [LETTERS[:n] for n in range(1, len(LETTERS) + 1)]


def secret_cases():
    """(id, secret plaintext, expected secret length in UTF-16 units)."""
    yield "zero-tail", as_stored(SECRET), len(SECRET)
    yield "empty", b"", 0
    for text in SECRETS:
        yield f"text-only-{len(text)}", utf16(text), len(text)
    for text in SECRETS:
        # The odd byte is the low half of one more unit (0x0041, "A"); its high
        # half is taken as zero, and the terminator follows it.
        yield f"odd-length-{len(text)}", utf16(text) + b"\x41", len(text) + 1


@pytest.mark.parametrize("secret_plaintext, secret_length",
                         [pytest.param(plaintext, length, id=name) for name, plaintext, length in secret_cases()])
def test_secret_without_zero_tail(run_host, registry, unlinked, secret_plaintext, secret_length):
    store_raw(run_host, "token", as_stored(TOKEN))
    store_raw(run_host, "secret", secret_plaintext)
    # The written layout is the store's: the payload is the blob and one byte more.
    size_type, size = registry.query(account_key(), "DBPasswordBlobPayloadSize")
    payload_type, payload = registry.query(account_key(), "DBPasswordBlobPayload")
    assert (size_type, payload_type) == ("REG_DWORD", "REG_BINARY")
    assert len(payload) // 2 == size + 1

    run = run_host("creds", dll="faults", env={"USER": TEST_USER})
    assert run.exit_code == 0, run
    assert run.result("GetAccessCreds") == {"event": "result", "export": "GetAccessCreds", "return": 0,
                                            "token": TOKEN, "secret_length": secret_length}, run
    assert run.counters["outstanding_blocks"] == 0, run


@pytest.mark.parametrize("token_plaintext, token", [
    pytest.param(utf16(TOKEN), TOKEN, id="text-only"),
    pytest.param(utf16(TOKEN) + b"\x41", TOKEN + "A", id="odd-length"),
])
def test_token_without_zero_tail(run_host, unlinked, token_plaintext, token):
    # The token goes through the same reader; here its text is shown whole.
    store_raw(run_host, "token", token_plaintext)
    store_raw(run_host, "secret", as_stored(SECRET))
    run = run_host("creds", dll="faults", env={"USER": TEST_USER})
    assert run.result("GetAccessCreds") == {"event": "result", "export": "GetAccessCreds", "return": 0,
                                            "token": token, "secret_length": len(SECRET)}, run
    assert run.counters["outstanding_blocks"] == 0, run
