"""DraftRel printing and warpmath's tree functions under hostile sides (the
harness of hostile.py): sides and senses whose dunders change the relation,
rebind or delete module globals, raise or re-enter while it prints itself,
builds an implication or a tree function runs."""
from hostile import run_group

DRAFTREL = r'''
def build():
    return DraftRel(Evil(1), VRK.LESS_EQUAL, Evil(2))


def check(rel):
    for name, value in (("_lhs", 1), ("_sense", VRK.LESS_EQUAL), ("_rhs", 2)):
        setattr(rel, name, value)
    assert repr(rel) == "<varnok.DraftRel: 1 <= 2>"
    assert repr(rel >> rel) == "<varnok.DraftRel: <varnok.DraftRel: 1 <= 2> == <varnok.DraftRel: 1 <= 2>>"


def with_sense(rel):
    rel._sense = Evil(5)
    return repr(rel)


x = Var("x")
OPS = {
    "repr": (lambda rel: repr(rel), str),
    "str": (lambda rel: str(rel), str),
    "repr-evil-sense": (with_sense, str),
    "implication": (lambda rel: repr(rel >> DraftRel(Evil(3), VRK.GREATER_EQUAL, rel)), str),
    "warpmath-term": (lambda rel: wm._apply_warpmath(x, lambda t: (str(rel), _ExprTree._from_sin(t))[1]), NLExpr),
    "warpmath-matrix": (lambda rel: wm._apply_warpmath(MVar.fromshape(2), lambda t: (str(rel), _ExprTree._from_cos(t))[1]), None),
}

ACTION_SET = shared_actions(
    mutate=[lambda rel: setattr(rel, "_lhs", rel), lambda rel: setattr(rel, "_sense", VRK.GREATER_EQUAL)],
    clear=[lambda rel: vars(rel).clear(), lambda rel: delattr(rel, "_rhs") if hasattr(rel, "_rhs") else None],
    clean=lambda rel: setattr(rel, "_rhs", Evil(7)),     # a relation has no caches: a side changes
    rebinds={
        "constants": lambda: setattr(dr, "VRK", types.SimpleNamespace(LESS_EQUAL=Evil(0), GREATER_EQUAL=">=")),
        "classes": lambda: (setattr(dr, "DraftRel", lambda *a: "not a relation"),
                            setattr(wm, "NLExpr", lambda tree: ("wrapped", tree))),
        "delete": lambda: (vars(dr).pop("VRK", None), vars(dr).pop("DraftRel", None), vars(wm).pop("NLExpr", None),
                           vars(wm).pop("_ExprTree", None), vars(wm).pop("MNLExpr", None)),
    },
    corrupt=lambda rel: setattr(rel, "_sense", rel),
)

for name, (op, result_type) in OPS.items():
    scenario(name, build, op, ACTION_SET, check, result_type)
finish()
'''


def test_printing_and_tree_functions_under_hostile_sides():
    fired = run_group(DRAFTREL)
    assert all(fired[kind] for kind in ("eq", "str", "del")), fired
