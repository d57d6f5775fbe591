"""LiveObject and LiveMap: read-only for the user, identity kept across session updates."""

import collections.abc

import pytest

from zqkit.livebook import Account, LiveMap, LiveObject, Order, Position, Trade

READ_ONLY = "SDK 交易数据对象为只读"


class TestLiveObject:
    def test_fresh_record_reads_none_for_every_field(self):
        position = Position()
        assert [getattr(position, name) for name in Position.fields] == [None] * 7
        assert list(position._values) == list(Position.fields)

    def test_keywords_are_stored_including_unknown_names(self):
        account = Account(balance=1.5, broker_note="x")
        assert account.balance == 1.5
        assert account.broker_note == "x"
        assert account.available is None

    def test_positional_argument_is_an_argument_count_error(self):
        with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
            Account({"balance": 1.0})

    def test_missing_attribute_names_itself_without_chained_key_error(self):
        with pytest.raises(AttributeError) as caught:
            Account().no_such_field  # noqa: B018
        assert caught.value.args == ("no_such_field",)
        assert caught.value.__cause__ is None
        assert caught.value.__suppress_context__
        assert not isinstance(caught.value.__context__, KeyError)
        assert not hasattr(Account(), "no_such_field")
        assert getattr(Account(), "no_such_field", 7) == 7

    def test_view_without_storage_reports_missing_name(self):
        # object.__new__ skips __init__; reading must not recurse through `_values`.
        bare = object.__new__(Account)
        with pytest.raises(AttributeError) as caught:
            bare.balance  # noqa: B018
        assert caught.value.args == ("balance",)

    @pytest.mark.parametrize("name", ["balance", "_values", "fields", "new_name", "__class__"])
    @pytest.mark.parametrize("value", [1, None])
    def test_every_assignment_is_refused(self, name, value):
        account = Account(balance=2.0)
        with pytest.raises(AttributeError, match=READ_ONLY):
            setattr(account, name, value)
        assert account.balance == 2.0

    @pytest.mark.parametrize("name", ["balance", "_values", "fields", "new_name"])
    def test_every_deletion_is_refused(self, name):
        account = Account(balance=2.0)
        with pytest.raises(AttributeError, match=READ_ONLY):
            delattr(account, name)
        assert account.balance == 2.0
        assert "balance" in account._values

    def test_base_object_assignment_cannot_add_names_to_the_base_view(self):
        with pytest.raises(AttributeError):
            object.__setattr__(LiveObject(), "extra", 1)

    def test_session_update_in_place_shows_through_earlier_reference(self):
        order = Order(order_id="A1")
        held = order
        order._values.update(status="ALIVE", volume_left=3)
        assert held is order
        assert (held.status, held.volume_left, held.order_id) == ("ALIVE", 3, "A1")

    def test_identity_semantics(self):
        first, second = Order(order_id="1"), Order(order_id="1")
        assert first != second
        assert first == first
        assert len({first, second}) == 2

    def test_repr_lists_values_in_field_order(self):
        text = repr(Trade(price=3.5))
        assert text.startswith("Trade({'trade_id': None, 'order_sys_id': None,")
        assert text == f"Trade({Trade()._values | {'price': 3.5}!r})"

    def test_base_class_shape(self):
        assert LiveObject.__slots__ == ("_values",)
        assert LiveObject.fields == ()
        assert LiveObject.__bases__ == (object,)
        assert LiveObject.__doc__ is None
        assert LiveObject()._values == {}


class TestLiveMap:
    def test_real_mapping_with_two_slots(self):
        assert issubclass(LiveMap, collections.abc.Mapping)
        assert LiveMap.__slots__ == ("_data", "item_type")
        assert LiveMap.__doc__ is None
        orders = LiveMap(Order)
        assert orders.item_type is Order
        with pytest.raises(AttributeError):
            orders.extra = 1

    def test_empty_map(self):
        orders = LiveMap(Order)
        assert len(orders) == 0
        assert repr(orders) == "{}"
        assert "A1" not in orders
        assert list(orders) == []
        assert orders.get("A1") is None
        assert orders.get(None) is None
        assert None not in orders

    def test_session_added_items_are_visible_with_identity(self):
        orders = LiveMap(Order)
        first = orders.item_type(order_id="A1")
        orders._data["A1"] = first
        orders._data["A2"] = Order(order_id="A2")
        assert list(orders) == ["A1", "A2"]
        assert len(orders) == 2
        assert "A1" in orders
        assert orders["A1"] is first
        assert orders.get("A1") is first
        assert list(orders.keys()) == ["A1", "A2"]
        assert [key for key, _ in orders.items()] == ["A1", "A2"]
        assert next(iter(orders.values())) is first
        assert repr(orders) == repr(orders._data)
        del orders._data["A1"]
        assert "A1" not in orders

    def test_absent_key_is_key_error_with_the_key(self):
        orders = LiveMap(Order)
        with pytest.raises(KeyError) as caught:
            orders[("SHFE", "rb")]
        assert caught.value.args == (("SHFE", "rb"),)

    def test_item_assignment_and_deletion_are_type_errors(self):
        positions = LiveMap(Position)
        positions._data["SHFE.rb2610"] = Position(symbol="SHFE.rb2610")
        with pytest.raises(TypeError):
            positions["SHFE.rb2610"] = Position()
        with pytest.raises(TypeError):
            del positions["SHFE.rb2610"]
        assert len(positions) == 1

    def test_equality_follows_mapping_and_maps_are_unhashable(self):
        view = Position(symbol="DCE.a2611")
        left, right = LiveMap(Position), LiveMap(Order)
        left._data["DCE.a2611"] = view
        right._data["DCE.a2611"] = view
        assert left == right
        assert left == {"DCE.a2611": view}
        right._data["DCE.a2611"] = Position(symbol="DCE.a2611")
        assert left != right
        with pytest.raises(TypeError):
            hash(left)
        with pytest.raises(TypeError):
            {left}  # noqa: B018
