"""Loading every mapper file of a directory tree by namespace."""
import os

import pytest

from zorvane.zorvane import DBConfig, ZorvaneConfig

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="{ns}">
  <select id="{sid}">select 1</select>
</mapper>
"""


def write(path, ns, sid="q"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(MAPPER.format(ns=ns, sid=sid))
    return str(path)


def test_tree_is_scanned_recursively_in_sorted_order(fresh_config, tmp_path):
    root = tmp_path / "a"
    x = write(root / "x.xml", "X")
    y = write(root / "b" / "y.XML", "Y")
    write(root / "b" / "zz_later.xml", "Y", sid="later")
    write(root / "b" / "noext", "N")
    (root / "b" / "readme.txt").write_text("not a mapper")
    write(root / "plainxml", "P")  # the name ends in the three letters, no dot
    listed = ZorvaneConfig._ZorvaneConfig__list_mapper(str(root), "xml")
    assert listed == [os.path.join(str(root / "b"), "y.XML"), os.path.join(str(root / "b"), "zz_later.xml"),
                      str(root / "plainxml"), x]
    assert y == listed[0]
    ZorvaneConfig(DBConfig(mapper_xml_path=str(root), a={"db_type": "sqlite", "sqlite_path": ":memory:"}))
    mappers = ZorvaneConfig.zorvane_mapper_dict
    assert set(mappers) == {"X", "Y", "P"}
    assert list(mappers["Y"].list_statement()) == ["later"]  # the file listed later wins
    assert ZorvaneConfig.datasource["a"]["kelvor"].mapper_dict is mappers


def test_rescan_replaces_entries_and_bad_paths_are_quiet(fresh_config, tmp_path):
    write(tmp_path / "m.xml", "M")
    ZorvaneConfig.scan_mapper_xml(str(tmp_path))
    first = ZorvaneConfig.zorvane_mapper_dict["M"]
    ZorvaneConfig.scan_mapper_xml(str(tmp_path))
    assert ZorvaneConfig.zorvane_mapper_dict["M"] is not first
    for quiet in (None, "", str(tmp_path / "missing")):
        ZorvaneConfig.scan_mapper_xml(quiet)
    assert list(ZorvaneConfig.zorvane_mapper_dict) == ["M"]
    with pytest.raises(NotADirectoryError):
        ZorvaneConfig.scan_mapper_xml(str(tmp_path / "m.xml"))
    with pytest.raises(TypeError):
        ZorvaneConfig.scan_mapper_xml(5)


def test_link_cycle_is_followed_once(fresh_config, tmp_path):
    write(tmp_path / "d" / "m.xml", "M")
    os.symlink(tmp_path / "d", tmp_path / "d" / "loop")
    assert ZorvaneConfig._ZorvaneConfig__list_mapper(str(tmp_path), "xml") == [str(tmp_path / "d" / "m.xml")]


def test_bad_file_stops_the_scan_and_keeps_earlier_ones(fresh_config, tmp_path):
    write(tmp_path / "a.xml", "A")
    (tmp_path / "b.xml").write_text("<mapper namespace='B'><select id='x'>")
    write(tmp_path / "c.xml", "C")
    with pytest.raises(Exception):
        ZorvaneConfig.scan_mapper_xml(str(tmp_path))
    assert list(ZorvaneConfig.zorvane_mapper_dict) == ["A"]
