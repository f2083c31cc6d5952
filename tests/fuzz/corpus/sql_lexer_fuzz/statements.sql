insert into t (a, b) values (1, 'a;b');
update t set a = a-1 where b < > 2;
delete from t where [x]]y] = 3