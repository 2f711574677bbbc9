"""Transactions: with-blocks, commit and rollback, nesting, and their
interplay with close()."""

import pytest

import orvi
from helpers import CLOSED, check

ACTIVE = "Transaction could not be completed: transaction already active"


class Boom(Exception):
    pass


class TestTransactionBlocks:
    def test_clean_exit_persists(self, path):
        with orvi.open(path) as db:
            with db.transaction() as tx:
                assert isinstance(tx, orvi.Transaction)
                db.add_node(["A"], x=1)
        with orvi.open(path) as db:
            assert db.node_count() == 1 and db.get_node(1)["x"] == 1

    def test_exception_rolls_back(self, db):
        db.add_node(["Keep"])
        db.commit()
        with pytest.raises(Boom):
            with db.transaction():
                n = db.add_node(["Gone"])
                db.update_node(1, changed=True)
                raise Boom
        assert db.node_count() == 1
        assert db.get_node(n.id) is None
        assert db.get_node(1).properties == {}
        assert [x.labels for x in db.all_nodes()] == [["Keep"]]
        # The flag was cleared: a new block can start.
        with db.transaction():
            pass

    def test_pending_changes_before_block(self, db):
        db.add_node(["before"])
        with pytest.raises(Boom):
            with db.transaction():
                raise Boom
        assert db.node_count() == 0
        db.add_node(["before"])
        with db.transaction():
            pass
        db.rollback()
        assert db.node_count() == 1

    def test_nested_refused_outer_commits(self, path):
        with orvi.open(path) as db:
            outer = db.transaction()
            with outer:
                db.add_node(["outer"])
                with check(orvi.TransactionError, ACTIVE):
                    with db.transaction():
                        pass
                with check(orvi.TransactionError, ACTIVE):
                    with outer:
                        pass
            with db.transaction():  # the outer exit cleared the flag
                pass
        with orvi.open(path) as db:
            assert db.node_count() == 1

    def test_commit_inside_block_allows_nested(self, mem):
        with mem.transaction():
            mem.add_node([])
            mem.commit()
            with mem.transaction():
                mem.add_node([])
        assert mem.node_count() == 2

    def test_rollback_inside_block_clears_flag(self, mem):
        with mem.transaction():
            mem.add_node([])
            mem.rollback()
            with mem.transaction():
                pass
        assert mem.node_count() == 0

    def test_begin_has_no_effect(self, mem):
        assert mem.begin() is None
        with mem.transaction():
            pass
        with mem.transaction():
            pass

    def test_transaction_reusable(self, mem):
        tx = mem.transaction()
        for i in range(3):
            with tx:
                mem.add_node([])
        assert mem.node_count() == 3

    def test_exit_arguments(self, mem):
        tx = mem.transaction()
        tx.__enter__()
        mem.add_node([])
        assert tx.__exit__(None, None, None) is False
        tx.__enter__()
        mem.add_node([])
        assert tx.__exit__(exc_type=ValueError) is False
        assert mem.node_count() == 1
        tx.__enter__()
        assert tx.__exit__() is False


class TestTransactionsAndClose:
    def test_made_before_close(self, mem):
        tx = mem.transaction()
        mem.close()
        with check(ValueError, CLOSED):
            with tx:
                pass

    def test_closed_inside_block(self, mem):
        with check(ValueError, CLOSED):
            with mem.transaction():
                mem.add_node([])
                mem.close()

    def test_close_discards_pending(self, path):
        db = orvi.open(path)
        db.transaction().__enter__()
        db.add_node([])
        db.close()
        with orvi.open(path) as again:
            assert again.node_count() == 0
            with again.transaction():  # a fresh handle starts without the flag
                pass


class TestThreads:
    def test_flag_belongs_to_the_handle(self, mem):
        import threading

        errors = []

        def other_thread():
            try:
                with mem.transaction():
                    pass
            except orvi.TransactionError as exc:
                errors.append(exc.args[0])

        with mem.transaction():
            worker = threading.Thread(target=other_thread)
            worker.start()
            worker.join()
        assert errors == [ACTIVE]

    def test_concurrent_writers_share_one_handle(self, mem):
        import threading

        def add_many():
            for _ in range(200):
                mem.add_node(["T"], v=[1, 2])

        workers = [threading.Thread(target=add_many) for _ in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert mem.node_count() == 800
        assert sorted(n.id for n in mem.all_nodes()) == list(range(1, 801))
