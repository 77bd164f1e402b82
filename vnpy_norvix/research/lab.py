"""AlphaLab folders (vn.py's research module): `contract.json` entries as
`AlphaLab.add_contract_setting` leaves them, written to a temporary file renamed into
place. The folder's bar files, its ledger and the folder as the downloads' store are the
store room's (vnpy_norvix/store/lab.py)."""

from __future__ import annotations

import json
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING

from .. import messages
from ..engine import Failure
from ..files import Unusable, read_json, replacing, unusable
from ..names import check_vt_symbol
# The folder's bar files and the folder as a store are the store room's, named here too
# for research code that reaches a lab from this side.
from ..store.lab import (LAB_FIELDS, LAB_INTERVALS, LabBars, LabStore, bar_file, bars_frame, lab_frame, open_lab,
                         read_bar_file, rolls_file, save_lab_bars)

if TYPE_CHECKING:
    from ..reference import Reference

__all__ = ["LAB_FIELDS", "LAB_INTERVALS", "LabBars", "LabStore", "add_contract", "add_contracts", "bar_file",
           "bars_frame", "lab_frame", "open_lab", "read_bar_file", "rolls_file", "save_lab_bars"]


def add_contract(lab_path: str | Path, vt_symbol: str, size: float, pricetick: float | None = None,
                 rates: tuple[float, float] | None = None) -> None:
    """The entry of `vt_symbol` in the lab's contract.json, set as add_contract_setting sets
    it. What is not given keeps the entry's value (a new entry: 0)."""
    path = Path(open_lab(lab_path).contract_path)
    contracts: dict[str, dict[str, float]] = {}
    if path.exists() or path.is_symlink():
        todo = "Move it out of the folder (its entries are then written anew) or put the file back"
        contracts = read_json(path, "the lab's contract.json", todo)
        if not isinstance(contracts, dict) or not all(isinstance(entry, dict) for entry in contracts.values()):
            raise unusable(path, "the lab's contract.json", "it holds no object of contracts", todo)
    old = contracts.get(vt_symbol, {})
    long_rate, short_rate = rates if rates is not None else (old.get("long_rate", 0.0), old.get("short_rate", 0.0))
    contracts[vt_symbol] = {"long_rate": long_rate, "short_rate": short_rate, "size": size,
                            "pricetick": pricetick if pricetick is not None else old.get("pricetick", 0.0)}
    with replacing(path) as temporary:
        with open(temporary, "w", encoding="UTF-8") as file:
            json.dump(contracts, file, indent=4, ensure_ascii=False)


def add_contracts(lab_path: str | Path, reference: Reference, vt_symbols: Iterable[str],
                  rates: tuple[float, float] | None = None) -> list[str]:
    """contract.json entries for `vt_symbols`, their size and price tick from the service's
    reference data; returns the failures, one line each (the other entries are written)."""
    failures = []
    for vt_symbol in dict.fromkeys(vt_symbols):
        try:
            terms = reference.terms(check_vt_symbol(vt_symbol)[0])
        except Failure as failure:
            failures.append(messages.no_contract_terms(vt_symbol, failure.reason))
            continue
        except ValueError as error:
            failures.append(str(error))
            continue
        try:
            add_contract(lab_path, vt_symbol, terms.size, terms.pricetick, rates)
        except Unusable as error:
            failures.append(str(error))
            break  # the same file again for every other contract
    return failures


