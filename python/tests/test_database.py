"""Database: direct reads, reads through the query cache, connection state and
DatabaseError."""

import pytest

import zel_sql
from conftest import PG

REFUSED = "Unable to allocate SQL statement handle"


def test_a_refused_login_says_why(private_source):
    private_source.stop()
    db = private_source.database()
    assert db.last_connect_error == ""
    with pytest.raises(zel_sql.Error) as raised:
        zel_sql.ComponentList().read_from_db(db, "MIRAN")
    assert type(raised.value) is zel_sql.Error
    assert str(raised.value) == REFUSED
    assert db.last_connect_error != ""
    assert not db.is_connected


def test_driver_errors_carry_their_sqlstate(backend):
    db = backend.database()
    with pytest.raises(zel_sql.DatabaseError) as raised:
        zel_sql.ComponentList().read_from_db(db, "broken")
    assert "TAVIK.BROKEN_VIEW_COMPONENTS" in str(raised.value)
    if backend is PG:
        assert raised.value.sqlstate == "22012"
