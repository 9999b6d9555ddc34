"""A small sorva pipeline: a price list, each city's orders, their takings and the day's total.

Run it with `make demo`, or from this folder with `python -m sorva.run pipeline`.
"""

from typing import Any

from sorva import asset, partitions

CITIES = partitions(["lisbon", "oslo", "quito"])

ORDER_BOOK = {
    "lisbon": {"tea": 12, "cake": 5},
    "oslo": {"soup": 7, "tea": 3},
    "quito": {"cake": 4, "soup": 2, "tea": 9},
}


@asset()
def prices() -> dict[str, float]:
    """The price of each product, in euros."""
    return {"tea": 2.5, "cake": 4.0, "soup": 6.0}


@asset(partitions={"city": CITIES})
def orders(city: str) -> dict[str, int]:
    """One city's orders of the day: each city is a partition of its own."""
    return ORDER_BOOK[city]


@asset(inputs={"price_list": prices, "city_orders": orders}, partitions={"city": CITIES})
def takings(city: str, price_list: dict[str, float], city_orders: dict[str, int]) -> float:
    """What one city took: it gets the orders of its own city and the one price list."""
    return sum(price_list[product] * count for product, count in city_orders.items())


@asset(name="daily total", inputs={"by_city": takings})
def total(by_city: list[dict[str, Any]]) -> dict[str, Any]:
    """The day's total and best city; `by_city` holds one {"partition", "value"} entry per city."""
    best = max(by_city, key=lambda entry: float(entry["value"]))
    return {"total": sum(entry["value"] for entry in by_city), "best": best["partition"]["city"]}
