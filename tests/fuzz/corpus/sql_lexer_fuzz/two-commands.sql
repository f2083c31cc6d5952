select count(*) from t where a = 1;
select * from t;; select * from u