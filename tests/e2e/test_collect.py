"""`qel send` over real folder trees: which files go, under which names and in which
order, what is skipped with a warning, and files the walk reaches beyond the system's
path length limit."""

from __future__ import annotations

import json
import os

from conftest import WINDOWS, native, run_qel, skip_on_windows, system_error

TOO_MANY = "too many files (a transfer can have at most 100; archive the folder first)"


def sent_files(service) -> list[tuple[str, int]]:
    (create,) = service.find("POST", "/transfers")
    return [(f["name"], f["size"]) for f in json.loads(create.body)["files"]]


def stored(service, index: int) -> bytes:
    (tid,) = list(service.transfers)
    return service.stored_file(tid, index)


@skip_on_windows("Linux symbolic links show as plain folders and files (reparse tag 0), so "
                 "they are walked, not skipped; a name that is not UTF-8 has no Windows form")
def test_tree_is_flattened_in_code_point_order_with_warnings(api_env, service, tmp_path):
    photos = tmp_path / "Photos"
    (photos / "2024").mkdir(parents=True)
    files = {
        b"b.jpg": b"bb", b"A.txt": b"a", b"2024/a.jpg": b"aaa", b"10.txt": b"10",
        b"9.txt": b"9", b"\xff.bin": b"raw", b"\xc3\xa9.txt": b"e",
    }
    for rel, data in files.items():
        (photos / os.fsdecode(rel)).write_bytes(data)
    (photos / "empty").write_bytes(b"")
    os.symlink(photos / "A.txt", photos / "link")
    os.symlink(photos / "2024", photos / "dirlink")

    r = run_qel(["send", photos, "--no-encrypt", "-q"], api_env)
    assert r.returncode == 0, r.stderr
    assert sent_files(service) == [
        ("Photos_10.txt", 2), ("Photos_2024_a.jpg", 3), ("Photos_9.txt", 1),
        ("Photos_A.txt", 1), ("Photos_b.jpg", 2), ("Photos_\u00e9.txt", 1),
        ("Photos_\ufffd.bin", 3),
    ]
    # The name that is not UTF-8 is shown repaired but read from its real bytes.
    assert stored(service, 6) == b"raw"
    assert r.stderr == (
        f"Warning: skipped symbolic link: {photos / 'dirlink'}\n"
        f"Warning: skipped empty file: {photos / 'empty'}\n"
        f"Warning: skipped symbolic link: {photos / 'link'}\n"
    )


def test_names_keep_their_characters_and_sort_by_code_point(api_env, service, tmp_path):
    folder = tmp_path / "Names"
    folder.mkdir()
    # Created in another order than the expected one; each file holds its own name.
    for name in ("\U0001f600.txt", "\uff5e.txt", "z.txt", "\u0219.txt", "\u00e9.txt", "B.txt",
                 "a.txt", "9.txt", "10.txt", "\u65e5\u672c.txt"):
        (folder / name).write_bytes(name.encode())
    direct = tmp_path / "\u0218edin\u021b\u0103.txt"
    direct.write_bytes(direct.name.encode())

    r = run_qel(["send", folder, direct, "--no-encrypt", "-q"], api_env)

    assert r.returncode == 0, r.stderr
    # Code-point order: digits, capitals, small letters, then the rest by code point, so
    # U+FF5E comes before U+1F600 although UTF-16 writes the latter with smaller units.
    expected = ["10.txt", "9.txt", "B.txt", "a.txt", "z.txt", "\u00e9.txt", "\u0219.txt",
                "\u65e5\u672c.txt", "\uff5e.txt", "\U0001f600.txt"]
    assert sent_files(service) == (
        [("Names_" + name, len(name.encode())) for name in expected]
        + [(direct.name, len(direct.name.encode()))])
    for index, name in enumerate(expected + [direct.name]):
        assert stored(service, index) == name.encode()


def test_dot_and_a_link_to_a_folder_take_the_real_folders_name(api_env, service, tmp_path):
    real = tmp_path / "Real"
    real.mkdir()
    (real / "x.txt").write_bytes(b"x")
    os.symlink(real, tmp_path / "Alias")
    r = run_qel(["send", ".", tmp_path / "Alias", "--no-encrypt", "-q"], api_env, cwd=real)
    assert r.returncode == 0, r.stderr
    assert sent_files(service) == [("Real_x.txt", 1), ("Real_x.txt", 1)]


def test_file_deeper_than_the_path_limit_is_sent(api_env, service, tmp_path):
    # On Linux 3000 levels make a path of about 6000 bytes, beyond the 4096 the system takes
    # whole; on Windows 150 levels pass the 260 characters of MAX_PATH (each level costs Wine
    # dearly, and it does not enforce that limit anyway).
    depth = 150 if WINDOWS else 3000
    top = tmp_path / "Deep"
    top.mkdir()
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        out = os.open("bottom.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(out, b"from the bottom")
        os.close(out)
    finally:
        os.close(fd)
    (top / "top.txt").write_bytes(b"top")

    try:
        r = run_qel(["send", top, "--quiet"], api_env, timeout=120)
        assert r.returncode == 0, r.stderr
        assert sent_files(service) == [("Deep" + "_d" * depth + "_bottom.txt", 15),
                                       ("Deep_top.txt", 3)]
        assert len(stored(service, 0)) == 20 + 32 + 15
    finally:
        remove_chain(top)


def remove_chain(top):
    """Removes a chain of folders named "d" one level at a time: pytest's own clean-up
    would recurse once per level and fail on a chain this deep."""
    link = top / "d"
    while link.is_dir():
        for name in os.listdir(link):
            if name != "d":
                os.unlink(link / name)
        if (link / "d").is_dir():
            os.rename(link / "d", top / "next")
            os.rmdir(link)
            os.rename(top / "next", link)
        else:
            os.rmdir(link)


def test_limits_end_the_collection_before_any_request(api_env, service, tmp_path):
    many = tmp_path / "many"
    many.mkdir()
    for i in range(101):
        (many / f"f{i:03}").write_bytes(b"x")
    r = run_qel(["send", many], api_env)
    assert (r.returncode, r.stderr) == (1, f"Error: {TOO_MANY}\n")

    named = [many / f"f{i % 101:03}" for i in range(150)]
    r = run_qel(["send", *named], api_env)
    assert r.returncode == 1
    assert r.stderr == ("Error: too many files: 150 (a transfer can have at most 100; "
                        "archive the folder first)\n")

    r = run_qel(["send", tmp_path / "missing"], api_env)
    assert (r.returncode, r.stderr) == (
        1, f"Error: {native(tmp_path / 'missing')}: {system_error('not found')}\n")
    assert service.requests == []
