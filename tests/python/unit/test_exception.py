"""zorvane.exception.DBException."""
import pytest

from zorvane.exception import DBException


@pytest.mark.parametrize(
    "make, text, message",
    [
        (lambda: DBException("no connection"), "no connection", "no connection"),
        (lambda: DBException(message="by keyword"), "", "by keyword"),
        (lambda: DBException(42), "42", 42),
    ],
)
def test_text_form_and_message(make, text, message):
    e = make()
    assert (str(e), e.message) == (text, message)


def test_message_is_required():
    with pytest.raises(TypeError):
        DBException()


def test_caught_as_exception():
    with pytest.raises(Exception) as info:
        raise DBException("boom")
    assert isinstance(info.value, DBException)
    assert DBException.__module__ == "zorvane.exception"
