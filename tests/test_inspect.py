"""inspect_modules: the inspection output for real modules written to temporary folders."""

import collections
import json
import os
import sys

import pytest

import sorva._sorva as m

VERSION = "{}.{}.{}".format(*sys.version_info[:3])
DEFAULT_METADATA = {"inputs": None, "kind": "asset", "name": None, "partitions": None, "serializer": None}
RECORD_KEYS = [
    "decorator_metadata",
    "file_path",
    "function_name",
    "function_source",
    "kind",
    "module_path",
    "module_source",
    "python_version",
    "return_type",
]


def assets(*names):
    return json.loads(m.inspect_modules(list(names)))["assets"]


def path_of(tmp_path, name):
    return str((tmp_path / f"{name}.py").resolve())


def test_output_text_of_a_pipeline_module(make_module, tmp_path):
    name = make_module(
        """\
        from sorva import asset


        @asset()
        def raw() -> list[int]:
            return [1, 2, 3]
        """
    )
    expected = (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,'
        '"serializer":null},"file_path":"' + path_of(tmp_path, name) + '","function_name":"raw",'
        '"function_source":"@asset()\\ndef raw() -> list[int]:\\n    return [1, 2, 3]\\n","kind":"asset",'
        '"module_path":"' + name + '","module_source":"from sorva import asset\\n\\n\\n@asset()\\n'
        'def raw() -> list[int]:\\n    return [1, 2, 3]\\n","python_version":"' + VERSION + '",'
        '"return_type":"list[int]"}]}'
    )
    assert m.inspect_modules([name]) == expected


@pytest.mark.parametrize(
    "source",
    ["x = 1\n", "from sorva import asset, partitions, AssetWrapper, Partitions\nimport sorva._sorva\n"],
)
def test_modules_without_assets(make_module, source):
    assert m.inspect_modules([make_module(source)]) == '{"assets":[]}'
    assert m.inspect_modules([]) == '{"assets":[]}'


def test_every_record_has_the_nine_keys_and_metadata_with_refs(make_module, tmp_path):
    name = make_module(
        """
        from sorva import asset, partitions

        @asset()
        def raw():
            return [1]

        @asset(name="p", serializer="s", inputs={"data": raw, "other": "x:y"},
               partitions={"t": partitions(["A", 1]), "a": partitions([])})
        def processed(data, t):
            return data
        """
    )
    processed, raw = assets(name)
    assert [list(record) for record in (processed, raw)] == [RECORD_KEYS, RECORD_KEYS]
    assert raw["decorator_metadata"] == DEFAULT_METADATA
    assert processed["decorator_metadata"] == {
        "inputs": {"data": path_of(tmp_path, name) + ":raw", "other": "x:y"},
        "kind": "asset",
        "name": "p",
        "partitions": {"a": {"kind": "inline", "values_json": "[]"}, "t": {"kind": "inline", "values_json": '["A",1]'}},
        "serializer": "s",
    }
    assert processed["module_source"] == raw["module_source"]
    assert {processed["python_version"], raw["python_version"]} == {VERSION}
    assert {processed["kind"], raw["kind"]} == {"asset"}


def test_records_follow_member_names_not_function_names(make_module):
    name = make_module(
        """
        from sorva import asset

        def zeta():
            return 1

        def alpha():
            return 2

        b_member = asset()(alpha)
        a_member = asset()(zeta)
        B_member = asset()(alpha)
        _member = asset()(zeta)
        """
    )
    assert [r["function_name"] for r in assets(name)] == ["alpha", "zeta", "zeta", "alpha"]


def test_no_deduplication_across_names_and_modules(make_module):
    a = make_module(
        """
        from sorva import asset

        @asset()
        def raw():
            return 1

        alias = raw
        """
    )
    b = make_module(f"from {a} import raw\n")
    records = assets(a, b, a)
    assert len(records) == 5
    assert records[0] == records[1] == records[3] == records[4]
    assert records[0]["module_path"] == a and records[2]["module_path"] == b
    assert records[2]["module_source"] == f"from {a} import raw\n"
    differing = {key for key in RECORD_KEYS if records[0][key] != records[2][key]}
    assert differing == {"module_path", "module_source"}


def test_duck_typed_assets(make_module, tmp_path):
    name = make_module(
        """
        def plain(x) -> int:
            return x

        plain.__sorva_kind__ = "asset"
        plain.__sorva_metadata__ = {}

        def target():
            pass

        class Declares:
            def __init__(self):
                self.__sorva_kind__ = "asset"
                self.__sorva_metadata__ = [1, {"b": 2.5, "a": None}]
                self.__sorva_original__ = target

        class Kind(str):
            def __eq__(self, other):
                return False

            __hash__ = str.__hash__

        class Raising(type):
            @property
            def __sorva_original__(cls):
                raise RuntimeError("no original")

        class Subclassed(metaclass=Raising):
            __sorva_kind__ = Kind("asset")
            __sorva_metadata__ = "text"

        declares = Declares()
        """
    )
    subclassed, declares, plain = assets(name)
    assert plain["function_name"] == "plain" and plain["decorator_metadata"] == {}
    assert plain["function_source"] == "def plain(x) -> int:\n    return x\n"
    assert plain["file_path"] == path_of(tmp_path, name) and plain["return_type"] == "int"
    assert declares["function_name"] == "target" and declares["return_type"] is None
    assert declares["decorator_metadata"] == [1, {"a": None, "b": 2.5}]
    assert subclassed["function_name"] == "Subclassed" and subclassed["decorator_metadata"] == "text"
    assert subclassed["function_source"] == (
        'class Subclassed(metaclass=Raising):\n    __sorva_kind__ = Kind("asset")\n    __sorva_metadata__ = "text"\n'
    )


@pytest.mark.parametrize(
    "kind",
    ['"Asset"', '"asset "', '" asset"', '"asset\\0"', 'b"asset"', "1", "None", "property(lambda self: 1 / 0)"],
)
def test_members_that_are_not_assets(make_module, kind):
    name = make_module(
        f"""
        from sorva import AssetWrapper

        class Member:
            __sorva_kind__ = {kind}
            __sorva_metadata__ = {{}}

        member = Member()

        def raises_anything(self, attribute):
            raise KeyboardInterrupt

        class Unreadable:
            __getattr__ = raises_anything

        unreadable = Unreadable()
        """
    )
    assert m.inspect_modules([name]) == '{"assets":[]}'


@pytest.mark.parametrize(
    "annotation, expected",
    [
        ("", None),
        ("-> int", "int"),
        ("-> MyModel", "MyModel"),
        ("-> Meta", "Meta"),
        ("-> list[int]", "list[int]"),
        ("-> dict[str, int]", "dict[str, int]"),
        ("-> None", "None"),
        ('-> "Frame"', "Frame"),
        ("-> typing.Optional[int]", "typing.Optional[int]"),
        ("-> 42", "42"),
        ("-> Always()", "always"),
        ("-> inspect.Signature.empty", None),
    ],
)
def test_return_types(make_module, annotation, expected):
    name = make_module(
        f"""
        import inspect
        import typing
        from sorva import asset

        class MyModel:
            pass

        class Meta(type):
            pass

        class Always:
            def __eq__(self, other):
                return True

            def __str__(self):
                return "always"

        @asset()
        def f() {annotation}:
            pass
        """
    )
    (record,) = assets(name)
    assert record["return_type"] == expected


def test_postponed_annotations_are_reported_as_written(make_module):
    name = make_module(
        """
        from __future__ import annotations
        from sorva import asset

        @asset()
        def f() -> int:
            pass

        @asset()
        def g() -> list[Undefined]:
            pass
        """
    )
    assert [r["return_type"] for r in assets(name)] == ["int", "list[Undefined]"]


def test_sources_are_dedented_and_end_with_one_line_feed(make_module):
    name = make_module(
        "\n\n   \n"
        "if True:\n"
        "    from sorva import asset\n"
        "\n"
        "    @asset()\n"
        "    def nested():\n"
        "        return 1\n"
        "\n\n\n"
        "    \t  \n"
    )
    (record,) = assets(name)
    assert record["function_source"] == "@asset()\ndef nested():\n    return 1\n"
    assert record["module_source"] == (
        "if True:\n    from sorva import asset\n\n    @asset()\n    def nested():\n        return 1\n"
    )


def test_escapes_and_raw_utf8(make_module):
    name = make_module(
        "from sorva import asset\n"
        "\n"
        "@asset()\n"
        "def größe() -> 'Größe\\\\':\n"
        '\treturn "q\\"uote", \'\x01\', \'\x1b\', "é名/\x7f"\n'
    )
    text = m.inspect_modules([name])
    source = "@asset()\ndef größe() -> 'Größe\\\\':\n\treturn \"q\\\"uote\", '\x01', '\x1b', \"é名/\x7f\"\n"
    assert json.loads(text)["assets"][0]["function_source"] == source
    assert '\\treturn \\"q\\\\\\"uote\\", \'\\u0001\', \'\\u001b\', \\"é名/\x7f\\"\\n' in text
    assert '"function_name":"größe"' in text and '"return_type":"Größe\\\\"' in text
    assert "\\u00" not in text.replace("\\u0001", "").replace("\\u001b", "")


def test_non_ascii_module_and_member_names(make_module, tmp_path):
    name = make_module(
        """
        from sorva import asset

        @asset(name="名前")
        def données():
            return "é"

        ñandú = données
        """,
        name="módulo_ñ",
    )
    records = assets(name)
    assert [(r["module_path"], r["function_name"]) for r in records] == [(name, "données")] * 2
    assert records[0]["decorator_metadata"]["name"] == "名前"
    assert records[0]["file_path"] == path_of(tmp_path, name)


def test_file_path_through_a_symbolic_link(tmp_path, monkeypatch):
    target_dir = tmp_path / "real"
    link_dir = tmp_path / "linked"
    target_dir.mkdir()
    link_dir.mkdir()
    (target_dir / "linked_target.py").write_text("from sorva import asset\n\n@asset()\ndef f():\n    pass\n")
    os.symlink(target_dir / "linked_target.py", link_dir / "sym_mod_inspect.py")
    monkeypatch.syspath_prepend(str(link_dir))
    monkeypatch.delitem(sys.modules, "sym_mod_inspect", raising=False)
    try:
        (record,) = assets("sym_mod_inspect")
    finally:
        sys.modules.pop("sym_mod_inspect", None)
    assert record["file_path"] == str((target_dir / "linked_target.py").resolve())


class Names:
    """A sequence by the interpreter's check that is neither list nor tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class Text(str):
    pass


class TextList(list):
    pass


@pytest.mark.parametrize(
    "form",
    [list, tuple, TextList, collections.deque, Names, lambda names: [Text(n) for n in names]],
)
def test_every_form_of_modules(make_module, form):
    name = make_module("from sorva import asset\n\n@asset()\ndef f():\n    pass\n")
    expected = m.inspect_modules([name, "no_such_inspect_module", name])
    assert len(json.loads(expected)["assets"]) == 2
    assert m.inspect_modules(form([name, "no_such_inspect_module", name])) == expected
    assert m.inspect_modules(modules=form([name, "no_such_inspect_module", name])) == expected


def test_top_level_code_runs_once(make_module, tmp_path, capfd):
    runs = tmp_path / "runs.txt"
    name = make_module(
        f"""
        from sorva import asset

        with open({str(runs)!r}, "a") as out:
            out.write("run\\n")

        @asset()
        def f():
            pass
        """
    )
    first = m.inspect_modules([name, name])
    assert m.inspect_modules([name]) == m.inspect_modules([name])
    assert len(json.loads(first)["assets"]) == 2
    assert runs.read_text() == "run\n"
    assert capfd.readouterr().err == ""


def test_a_failed_name_is_tried_again(make_module, tmp_path, capfd):
    assert m.inspect_modules(["later_inspect_module"]) == '{"assets":[]}'
    make_module("from sorva import asset\n\n@asset()\ndef f():\n    pass\n", name="later_inspect_module")
    assert len(assets("later_inspect_module")) == 1
    skip = "sorva: skipping module 'later_inspect_module': ModuleNotFoundError: No module named 'later_inspect_module'\n"
    assert capfd.readouterr().err == skip


def test_a_module_of_100000_lines(make_module):
    body = "".join(f"value_{i} = {i}\n" for i in range(99_995))
    name = make_module(body + "from sorva import asset\n\n@asset()\ndef last():\n    return 1\n")
    (record,) = assets(name)
    assert record["module_source"] == body + "from sorva import asset\n\n@asset()\ndef last():\n    return 1\n"
    assert record["function_source"] == "@asset()\ndef last():\n    return 1\n"
