SELECT [my table].f, 'it''s', "q""x", 1.5E+3, .5, 1e-5 FROM t -- note
WHERE a<>b AND c<=:p OR d>=:name || x /* block
 comment */ AND e IN (:n, 2)