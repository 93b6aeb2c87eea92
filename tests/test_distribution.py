import importlib.metadata
import os
import pathlib
import re
import sys
import sysconfig
import tarfile

import pytest

import corvane

installed_only = pytest.mark.skipif(
    os.environ.get("CORVANE_INSTALLED") != "1", reason="checks the installed distribution; run by make test-installed"
)

REPO = pathlib.Path(__file__).resolve().parent.parent
# Every minor version the wheels are built and tested for (tools/interpreters.sh
# adds pyenv's beside Debian's 3.11); the classifiers must say exactly these.
TESTED_VERSIONS = {"3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"}


@installed_only
def test_the_suite_runs_against_the_installed_module():
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    module = pathlib.Path(corvane.__file__).resolve()
    assert module.parent == site
    assert sys.prefix != sys.base_prefix, "installed into a virtual environment"
    assert module.with_name("corvane.pyi").is_file()
    assert (site / "corvane-stubs" / "__init__.pyi").is_file()


@installed_only
def test_distribution_metadata():
    pyproject = (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    declared = re.search(r'^version = "([^"]+)"$', pyproject, re.MULTILINE).group(1)
    assert importlib.metadata.version("corvane") == declared
    meta = importlib.metadata.metadata("corvane")
    assert meta["Name"] == "corvane"
    assert meta["Requires-Python"] == ">=3.9"
    assert meta["Summary"]
    classifiers = meta.get_all("Classifier")
    assert "Programming Language :: Python :: Implementation :: PyPy" in classifiers
    assert "Programming Language :: Python :: Implementation :: CPython" in classifiers
    files = {str(f) for f in importlib.metadata.files("corvane")}
    assert {"corvane.pyi", "corvane-stubs/__init__.pyi"} <= files


@installed_only
def test_installed_wheel_is_the_repaired_one():
    wheel = importlib.metadata.distribution("corvane").read_text("WHEEL")
    tags = [line.split(": ", 1)[1] for line in wheel.splitlines() if line.startswith("Tag: ")]
    # The policy auditwheel found for this interpreter's wheel where it was
    # built; a plain linux tag only where the build system is newer than every
    # manylinux policy it knows, and then exactly that.
    policy = os.environ.get("CORVANE_WHEEL_POLICY")
    pattern = re.escape(policy) if policy else r"manylinux_[0-9]+_[0-9]+_[a-z0-9_]+"
    assert tags and all(re.search(r"-" + pattern + r"$", tag) for tag in tags), (tags, policy)


@installed_only
def test_classifiers_name_exactly_the_tested_versions():
    classifiers = importlib.metadata.metadata("corvane").get_all("Classifier")
    prefix = "Programming Language :: Python :: 3."
    claimed = {c.rsplit(" :: ", 1)[1] for c in classifiers if c.startswith(prefix)}
    assert claimed == TESTED_VERSIONS
    assert "%d.%d" % sys.version_info[:2] in claimed
    script = (REPO / "tools" / "interpreters.sh").read_text()
    optional = set(re.search(r"^for minor in ([0-9. ]+); do$", script, re.MULTILINE).group(1).split())
    in_trees = set(re.findall(r"/usr/bin/python(3\.[0-9]+)\s", (REPO / "tools" / "hosts" / "list").read_text()))
    assert optional | in_trees | {"3.11"} == TESTED_VERSIONS


@installed_only
def test_project_urls_and_changelog():
    urls = dict(entry.split(", ", 1) for entry in importlib.metadata.metadata("corvane").get_all("Project-URL"))
    assert set(urls) == {"Homepage", "Changelog", "Issues"}
    assert all(url.startswith("https://") for url in urls.values())
    (sdist,) = (REPO / "dist").glob("corvane-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"CHANGELOG.md", "README.md", "LICENSE", "pyproject.toml", "src/corvane.pyi"} <= names


def test_the_version_lives_in_the_metadata_only():
    assert not hasattr(corvane, "__version__")
